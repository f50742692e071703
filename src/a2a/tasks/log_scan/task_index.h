// The latest line of every task in the log, known by the few fields that listing decides on,
// so that a list request scans each line once and reads back only the lines it renders.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

namespace tessik {

// The fields (by the stored-line lookup rule) and the place of one latest line. The texts
// point into the LatestTaskLines that made it and live as long as it does.
struct LatestTaskLine {
  std::string_view id;
  std::string_view context_id;
  std::string_view state;      // status.state
  std::string_view timestamp;  // status.timestamp
  std::string_view requester_client_id;
  std::string_view requester_agent;
  std::string_view requester_node;
  std::uint64_t offset = 0;  // of the trimmed line in the file
  std::uint64_t length = 0;
};

// Scans the log once: lines that are not JSON or have a blank id are passed over; a later
// line of an id replaces the earlier one and takes its place in the order (oldest first).
// A missing log gives no lines. Not copyable (the lines point into its storage); movable.
class LatestTaskLines {
 public:
  explicit LatestTaskLines(const std::filesystem::path& log_path);
  LatestTaskLines(LatestTaskLines&&) = default;
  LatestTaskLines& operator=(LatestTaskLines&&) = default;

  const std::vector<LatestTaskLine>& lines() const { return lines_; }

 private:
  std::string_view keep(std::string_view text);

  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t block_size_ = 0;
  std::size_t block_used_ = 0;
  std::vector<LatestTaskLine> lines_;
};

}  // namespace tessik
