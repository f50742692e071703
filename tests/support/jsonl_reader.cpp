// JSON Lines reading for tests.
#include "support/jsonl_reader.h"

#include <fstream>

namespace tessik::test {

std::vector<nlohmann::json> read_jsonl(const std::filesystem::path& path) {
  std::vector<nlohmann::json> records;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) records.push_back(nlohmann::json::parse(line, nullptr, false));
  }
  return records;
}

std::vector<nlohmann::json> read_events(const std::filesystem::path& path,
                                        const std::string& event_type) {
  std::vector<nlohmann::json> matching;
  for (auto& record : read_jsonl(path)) {
    if (record.is_object() && record.value("event_type", "") == event_type) {
      matching.push_back(std::move(record));
    }
  }
  return matching;
}

}  // namespace tessik::test
