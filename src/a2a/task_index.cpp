// Listing reads the whole log on every request, so this pass avoids per-line allocation:
// field texts go into large blocks, ids into an open-addressing table of entry numbers, and
// a later line of a known id overwrites its entry in place.
#include "a2a/task_index.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "a2a/task_line_scan.h"
#include "a2a/task_log.h"

namespace tessik {
namespace {

constexpr std::size_t kBlockBytes = 1 << 20;

// Entry numbers by id, open addressing, kept at most half full. A slot holds the id's hash
// beside entry + 1 (0: empty), so a probe touches an entry only when the hashes agree.
class IdTable {
 public:
  // The entry of `id`, inserting `next` when the id is new; `inserted` tells which.
  std::uint32_t find_or_insert(std::string_view id, std::uint32_t next,
                               const std::vector<LatestTaskLine>& entries, bool& inserted) {
    if ((count_ + 1) * 2 > slots_.size()) grow();
    const std::uint64_t hash = std::hash<std::string_view>{}(id);
    std::size_t slot = hash & (slots_.size() - 1);
    while (slots_[slot].entry != 0) {
      const Slot& candidate = slots_[slot];
      if (candidate.hash == hash && entries[candidate.entry - 1].id == id) {
        inserted = false;
        return candidate.entry - 1;
      }
      slot = (slot + 1) & (slots_.size() - 1);
    }
    slots_[slot] = {hash, next + 1};
    ++count_;
    inserted = true;
    return next;
  }

 private:
  struct Slot {
    std::uint64_t hash = 0;
    std::uint32_t entry = 0;
  };

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(std::max<std::size_t>(1024, old.size() * 2), Slot{});
    for (const Slot& value : old) {
      if (value.entry == 0) continue;
      std::size_t slot = value.hash & (slots_.size() - 1);
      while (slots_[slot].entry != 0)
        slot = (slot + 1) & (slots_.size() - 1);
      slots_[slot] = value;
    }
  }

  std::vector<Slot> slots_;
  std::size_t count_ = 0;
};

bool is_blank(std::string_view text) {
  for (const char c : text) {
    if (c != ' ' && c != '\t' && c != '\n' && c != '\v' && c != '\f' && c != '\r') return false;
  }
  return true;
}

}  // namespace

std::string_view LatestTaskLines::keep(std::string_view text) {
  if (text.empty()) return {};
  if (blocks_.empty() || block_used_ + text.size() > block_size_) {
    block_size_ = std::max(kBlockBytes, text.size());
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(block_size_));
    block_used_ = 0;
  }
  char* at = blocks_.back().get() + block_used_;
  std::memcpy(at, text.data(), text.size());
  block_used_ += text.size();
  return {at, text.size()};
}

LatestTaskLines::LatestTaskLines(const std::filesystem::path& log_path) {
  std::vector<LatestTaskLine> entries;
  std::vector<std::uint64_t> line_numbers;  // where each entry's current line stands
  IdTable table;
  TaskLineSummary scratch;
  std::uint64_t line_number = 0;
  std::error_code ignored;
  const std::uintmax_t log_bytes = std::filesystem::file_size(log_path, ignored);
  if (log_bytes != static_cast<std::uintmax_t>(-1)) {
    // Stored records run to about a kilobyte; this spares most regrowth of the entries.
    entries.reserve(log_bytes / 2048);
    line_numbers.reserve(log_bytes / 2048);
  }
  // A later line's texts are appended rather than compared with the stored ones: reading
  // the old copies back would cost a cache miss each.
  const auto update = [&](std::string_view& field, const std::string& value) {
    field = keep(value);
  };
  for_each_task_log_line(log_path, [&](std::string_view line, std::uint64_t offset) {
    ++line_number;
    if (!scan_task_line_into(line, scratch) || is_blank(scratch.id)) return;
    bool inserted = false;
    const std::string_view id = scratch.id;
    const std::uint32_t entry =
        table.find_or_insert(id, static_cast<std::uint32_t>(entries.size()), entries, inserted);
    if (inserted) {
      // The table compares against entries[entry].id, so the id is stored first.
      entries.push_back({});
      line_numbers.push_back(0);
      entries.back().id = keep(id);
    }
    LatestTaskLine& target = entries[entry];
    update(target.context_id, scratch.context_id);
    update(target.state, scratch.state);
    update(target.timestamp, scratch.timestamp);
    update(target.requester_client_id, scratch.requester_client_id);
    update(target.requester_agent, scratch.requester_agent);
    update(target.requester_node, scratch.requester_node);
    target.offset = offset;
    target.length = line.size();
    line_numbers[entry] = line_number;
  });
  std::vector<std::uint32_t> order(entries.size());
  for (std::uint32_t i = 0; i < order.size(); ++i)
    order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](std::uint32_t a, std::uint32_t b) { return line_numbers[a] < line_numbers[b]; });
  lines_.reserve(entries.size());
  for (const std::uint32_t entry : order)
    lines_.push_back(entries[entry]);
}

}  // namespace tessik
