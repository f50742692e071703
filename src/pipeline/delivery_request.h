// The delivery worker request file: the one line that carries a delivery from the process
// that accepted a message to the worker process that delivers it, written and read back.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "providers/provider_edge_types.h"

namespace tessik {

inline constexpr char kDeliveryRequestType[] = "delivery_worker_request";
inline constexpr char kDeliveryModeDeliver[] = "deliver";
inline constexpr char kDeliveryModeValidate[] = "validate";

// The request line: a JSON object without blanks, 29 string members in their fixed order
// (booleans as "true"/"false"), ended by a line feed.
std::string format_delivery_request(const DeliveryRequest& request, std::string_view mode);

// "tessik-delivery-worker-<id>.json" in the user's temporary directory, where id is the
// message id (a fresh random id when blank) with every character other than an ASCII letter
// or digit replaced by '-'.
std::filesystem::path delivery_request_path(std::string_view message_id);

// Creates the temporary directory when needed and writes the line. Throws std::runtime_error
// "could not create delivery worker temp directory: <reason>" or "could not write delivery
// worker request: <path>".
void write_delivery_request(const std::filesystem::path& path, const DeliveryRequest& request,
                            std::string_view mode);

// A request file read back. When `ok` is false, `error` says why and the rest is unset.
struct ParsedDeliveryRequest {
  bool ok = false;
  std::string error;
  std::string mode;
  DeliveryRequest request;
};

// Parses the text of a request file. The target row is rebuilt from the file's members as
// the hand-off left it: enabled and sendable, since only such rows are handed off.
// Requires an object of type "delivery_worker_request" whose members are all strings, with a
// message id and a target provider; other members may be missing (read as empty).
ParsedDeliveryRequest parse_delivery_request(std::string_view text);

// Reads and parses a request file; a missing or unreadable file is a failed parse.
ParsedDeliveryRequest read_delivery_request(const std::filesystem::path& path);

}  // namespace tessik
