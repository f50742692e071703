// Listing reads the whole log on every request, so this pass avoids per-line allocation:
// field texts go into large blocks, ids into an open-addressing table of entry numbers, and
// a later line of a known id overwrites its entry in place.
#include "a2a/tasks/log_scan/task_index.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "a2a/tasks/log_scan/task_line_scan.h"
#include "a2a/tasks/task_log.h"

namespace tessik {
namespace {

constexpr std::size_t kBlockBytes = 1 << 20;

// Entry numbers by id, open addressing, kept at most half full. A slot holds the id's hash
// beside entry + 1 (0: empty), so a probe touches an entry only when the hashes agree.
class IdTable {
 public:
  IdTable() { resize(1024); }

  static std::uint64_t hash(std::string_view id) { return std::hash<std::string_view>{}(id); }

  // Sizes the table for `expected` ids so that a typical log never rehashes.
  void reserve(std::size_t expected) {
    std::size_t size = slots_.size();
    while (size < expected * 2)
      size *= 2;
    if (size > slots_.size()) resize(size);
  }

  // Starts loading the slot a later find_or_insert of `hash` reads first.
  // Unconditional: GCC drops a prefetch that sits alone in a branch.
  void prefetch(std::uint64_t hash) const {
    __builtin_prefetch(slots_.data() + (hash & (slots_.size() - 1)));
  }

  // The entry of `id` (whose hash is `hash`), inserting `next` when the id is new;
  // `inserted` tells which.
  std::uint32_t find_or_insert(std::string_view id, std::uint64_t hash, std::uint32_t next,
                               const std::vector<LatestTaskLine>& entries, bool& inserted) {
    if ((count_ + 1) * 2 > slots_.size()) resize(slots_.size() * 2);
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

  void resize(std::size_t size) {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(size, Slot{});
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

// Requester fields and states repeat across thousands of lines; sharing one stored copy per
// distinct value keeps the arena (and the pages a request touches) small. Values past the
// first few dozen distinct ones are stored per line.
class FieldInterner {
 public:
  template <typename Keep>
  std::string_view intern(std::string_view value, Keep&& keep) {
    for (const std::string_view known : known_) {
      if (known == value) return known;
    }
    const std::string_view stored = keep(value);
    if (known_.size() < kMaxKnown) known_.push_back(stored);
    return stored;
  }

 private:
  static constexpr std::size_t kMaxKnown = 32;
  std::vector<std::string_view> known_;
};

// Puts entries[i] at position i of the order without a second array of entries:
// order[k] names the entry that belongs at k. Follows each cycle once.
void permute_in_place(std::vector<LatestTaskLine>& entries, std::vector<std::uint32_t>& order) {
  for (std::uint32_t start = 0; start < order.size(); ++start) {
    if (order[start] == start) continue;
    LatestTaskLine held = entries[start];
    std::uint32_t at = start;
    while (order[at] != start) {
      const std::uint32_t from = order[at];
      entries[at] = entries[from];
      order[at] = at;
      at = from;
    }
    entries[at] = held;
    order[at] = at;
  }
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
  std::error_code ignored;
  const std::uintmax_t log_bytes = std::filesystem::file_size(log_path, ignored);
  if (log_bytes != static_cast<std::uintmax_t>(-1)) {
    // Stored records run to about a kilobyte; this spares most regrowth.
    entries.reserve(log_bytes / 2048);
    line_numbers.reserve(log_bytes / 2048);
    table.reserve(log_bytes / 2048);
  }
  // A later line's texts are stored anew rather than compared with the earlier ones:
  // reading the old copies back would cost a cache miss each.
  FieldInterner states, clients, agents, nodes;
  const auto store = [this](std::string_view text) { return keep(text); };
  // A scanned line is applied one line late: its table slot is prefetched first, so the
  // cache miss of the probe overlaps the scan of the next line.
  struct Pending {
    bool waiting = false;
    std::uint64_t hash = 0;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::uint64_t line_number = 0;
  };
  TaskLineSummary summaries[2];
  int current = 0;
  Pending pending;
  const auto apply = [&](const TaskLineSummary& summary, const Pending& line) {
    bool inserted = false;
    const std::string_view id = summary.id;
    const std::uint32_t entry = table.find_or_insert(
        id, line.hash, static_cast<std::uint32_t>(entries.size()), entries, inserted);
    if (inserted) {
      // The table compares against entries[entry].id, so the id is stored first.
      entries.push_back({});
      line_numbers.push_back(0);
      entries.back().id = keep(id);
    }
    LatestTaskLine& target = entries[entry];
    target.context_id = summary.context_id == id ? target.id : keep(summary.context_id);
    target.state = states.intern(summary.state, store);
    target.timestamp = keep(summary.timestamp);
    target.requester_client_id = clients.intern(summary.requester_client_id, store);
    target.requester_agent = agents.intern(summary.requester_agent, store);
    target.requester_node = nodes.intern(summary.requester_node, store);
    target.offset = line.offset;
    target.length = line.length;
    line_numbers[entry] = line.line_number;
  };
  std::uint64_t line_number = 0;
  for_each_task_log_line(log_path, [&](std::string_view line, std::uint64_t offset) {
    ++line_number;
    TaskLineSummary& summary = summaries[current];
    if (!scan_task_line_into(line, summary) || is_blank(summary.id)) return;
    const std::uint64_t hash = IdTable::hash(summary.id);
    table.prefetch(hash);
    if (pending.waiting) apply(summaries[1 - current], pending);
    pending = {true, hash, offset, line.size(), line_number};
    current = 1 - current;
  });
  if (pending.waiting) apply(summaries[1 - current], pending);

  std::vector<std::uint32_t> order(entries.size());
  for (std::uint32_t i = 0; i < order.size(); ++i)
    order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](std::uint32_t a, std::uint32_t b) { return line_numbers[a] < line_numbers[b]; });
  permute_in_place(entries, order);
  lines_ = std::move(entries);
}

}  // namespace tessik
