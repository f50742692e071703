// Raw JSON member text: the exact bytes of a top-level member's value, so that JSON-RPC ids
// are echoed byte for byte (a parsed-and-dumped id would lose "1.50" or "\u0041" spellings).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessik {

// The raw text of member `name` of the top-level object in `document` (the last one when the
// name repeats, as a parser keeps it). nullopt when `document` is not a well-formed JSON
// object or has no such member.
std::optional<std::string> raw_json_member(std::string_view document, std::string_view name);

// The raw texts of the elements of the top-level array in `document`, in order (an empty
// vector for "[]"). nullopt when `document` is not a well-formed JSON array.
std::optional<std::vector<std::string>> raw_json_array_elements(std::string_view document);

// The JSON-RPC id text of a request body: the raw "id" member trimmed, or "null" when the
// body is not a JSON object, has no "id", or its id is empty.
std::string json_rpc_id(std::string_view body);

}  // namespace tessik
