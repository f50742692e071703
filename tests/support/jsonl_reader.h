// Reads JSON Lines files (evidence logs) in tests.
#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace tessik::test {

// Every line of `path` parsed as JSON (missing file: empty list). Unparseable lines become
// discarded values, so a test comparing fields fails on them.
std::vector<nlohmann::json> read_jsonl(const std::filesystem::path& path);

// The records of `path` whose "event_type" equals `event_type`, in file order.
std::vector<nlohmann::json> read_events(const std::filesystem::path& path,
                                        const std::string& event_type);

}  // namespace tessik::test
