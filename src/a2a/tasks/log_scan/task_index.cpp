// Entries live in file order in one vector; a rewritten id leaves a dead entry behind and the
// index compacts once the dead outnumber the living. Texts live in one byte arena addressed by
// 32-bit offsets, owners and states once per distinct value, so an entry stays small.
#include "a2a/tasks/log_scan/task_index.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <mutex>
#include <stdexcept>

#include "a2a/tasks/log_scan/task_line_scan.h"
#include "base/text.h"

namespace tessik {
namespace {

void append_sized(std::string& key, std::string_view part) {
  const auto size = static_cast<std::uint32_t>(part.size());
  key.append(reinterpret_cast<const char*>(&size), sizeof size);
  key.append(part);
}

}  // namespace

// Entry numbers by id, open addressing, kept at most half full. A slot holds the upper half of
// the id's hash beside entry + 1 (0: empty), so a probe reads an entry's id only when those
// agree; the lower half picked the slot.
class TaskLogIndex::IdTable {
 public:
  IdTable() : slots_(1024) {}

  static std::uint64_t hash(std::string_view id) { return std::hash<std::string_view>{}(id); }

  // Sizes an empty table for `expected` ids so that filling it never rehashes.
  void reserve(std::size_t expected) {
    std::size_t size = slots_.size();
    while (size < expected * 2)
      size *= 2;
    if (count_ == 0 && size > slots_.size()) slots_.assign(size, Slot{});
  }

  // The stored entry number + 1 of the id for which `same` holds, or null.
  template <typename Same>
  std::uint32_t* find(std::uint64_t hash, Same&& same) {
    const std::uint32_t tag = tag_of(hash);
    for (std::size_t slot = hash & (slots_.size() - 1); slots_[slot].entry != 0;
         slot = (slot + 1) & (slots_.size() - 1)) {
      if (slots_[slot].tag == tag && same(slots_[slot].entry - 1)) return &slots_[slot].entry;
    }
    return nullptr;
  }

  // `hash_of` gives the hash of an entry already in the table, for a rehash.
  template <typename HashOf>
  void insert(std::uint64_t hash, std::uint32_t entry, HashOf&& hash_of) {
    if ((count_ + 1) * 2 > slots_.size()) resize(slots_.size() * 2, hash_of);
    place(hash, {tag_of(hash), entry + 1});
    ++count_;
  }

  std::size_t bytes() const { return slots_.capacity() * sizeof(Slot); }

 private:
  struct Slot {
    std::uint32_t tag = 0;
    std::uint32_t entry = 0;
  };

  static std::uint32_t tag_of(std::uint64_t hash) { return static_cast<std::uint32_t>(hash >> 32); }

  void place(std::uint64_t hash, const Slot& value) {
    std::size_t slot = hash & (slots_.size() - 1);
    while (slots_[slot].entry != 0)
      slot = (slot + 1) & (slots_.size() - 1);
    slots_[slot] = value;
  }

  // The slot index comes from the lower hash bits, which the table does not hold: moving a
  // slot needs the id's hash again.
  template <typename HashOf>
  void resize(std::size_t size, HashOf&& hash_of) {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(size, Slot{});
    for (const Slot& value : old) {
      if (value.entry != 0) place(hash_of(value.entry - 1), value);
    }
  }

  std::vector<Slot> slots_;
  std::size_t count_ = 0;
};

// The final line without a line break, applied like any line and withdrawn before the next
// refresh reads it again (then perhaps complete, or longer).
struct TaskLogIndex::Provisional {
  std::optional<std::uint32_t> superseded;  // the slot it hid, alive again on withdrawal
  std::size_t arena_mark = 0;
};

TaskLogIndex::TaskLogIndex(std::filesystem::path log_path)
    : log_path_(std::move(log_path)), table_(std::make_unique<IdTable>()) {}

TaskLogIndex::~TaskLogIndex() = default;

std::size_t TaskLogIndex::entry_bytes() {
  return sizeof(Entry);
}

TaskLogIndex::TextRef TaskLogIndex::keep(std::string_view value) {
  if (arena_.size() + value.size() > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("task log index: texts exceed 4 GiB");
  }
  const TextRef ref{static_cast<std::uint32_t>(arena_.size()),
                    static_cast<std::uint32_t>(value.size())};
  arena_.insert(arena_.end(), value.begin(), value.end());
  return ref;
}

std::uint32_t TaskLogIndex::intern_owner(std::string_view client, std::string_view agent,
                                         std::string_view node) {
  if (!owners_.empty()) {
    const TaskOwnerText& last = owners_[last_owner_];
    if (last.client_id == client && last.agent == agent && last.node == node) return last_owner_;
  }
  key_scratch_.clear();
  append_sized(key_scratch_, client);
  append_sized(key_scratch_, agent);
  append_sized(key_scratch_, node);
  const auto [it, inserted] =
      owner_numbers_.try_emplace(key_scratch_, static_cast<std::uint32_t>(owners_.size()));
  if (inserted) owners_.push_back({std::string(client), std::string(agent), std::string(node)});
  last_owner_ = it->second;
  return it->second;
}

std::uint32_t TaskLogIndex::intern_state(std::string_view state) {
  key_scratch_.assign(state);
  const auto [it, inserted] =
      state_numbers_.try_emplace(key_scratch_, static_cast<std::uint32_t>(states_.size()));
  if (inserted) states_.emplace_back(state);
  return it->second;
}

void TaskLogIndex::reset() {
  provisional_.reset();
  entries_.clear();
  arena_.clear();
  table_ = std::make_unique<IdTable>();
  dead_count_ = 0;
  owners_.clear();
  states_.clear();
  owner_numbers_.clear();
  state_numbers_.clear();
  last_owner_ = 0;
}

std::optional<std::uint32_t> TaskLogIndex::find(std::string_view wanted) const {
  if (provisional_ && id(slot_count() - 1) == wanted) return slot_count() - 1;
  const std::uint32_t* entry = table_->find(
      IdTable::hash(wanted), [&](std::uint32_t candidate) { return id(candidate) == wanted; });
  if (entry == nullptr || entries_[*entry - 1].dead) return std::nullopt;
  return *entry - 1;
}

LatestTaskLine TaskLogIndex::line(std::uint32_t slot) const {
  const Entry& entry = entries_[slot];
  const TaskOwnerText& owner = owners_[entry.owner];
  return {text(entry.id),       text(entry.context), states_[entry.state],
          text(entry.timestamp), owner.client_id,     owner.agent,
          owner.node,           entry.offset,        entry.length};
}

void TaskLogIndex::apply_line(std::string_view line, std::uint64_t offset, bool provisional) {
  TaskLineSummary summary;
  if (line.size() > std::numeric_limits<std::uint32_t>::max()) return;
  if (!scan_task_line_into(line, summary) || trim_view(summary.id).empty()) return;
  const std::size_t arena_mark = arena_.size();
  const std::uint64_t hash = IdTable::hash(summary.id);
  std::uint32_t* known = table_->find(
      hash, [&](std::uint32_t candidate) { return id(candidate) == summary.id; });
  const auto next = static_cast<std::uint32_t>(entries_.size());
  Entry entry;
  entry.offset = offset;
  entry.length = static_cast<std::uint32_t>(line.size());
  if (known != nullptr) {
    Entry& earlier = entries_[*known - 1];
    earlier.dead = true;
    ++dead_count_;
    entry.id = earlier.id;
    // A task keeps its conversation across records: share the earlier text when it agrees.
    entry.context = text(earlier.context) == summary.context_id ? earlier.context
                                                                : keep(summary.context_id);
  } else {
    entry.id = keep(summary.id);
    entry.context = summary.context_id == summary.id ? entry.id : keep(summary.context_id);
  }
  entry.timestamp = keep(summary.timestamp);
  entry.owner = intern_owner(summary.requester_client_id, summary.requester_agent,
                             summary.requester_node);
  entry.state = intern_state(summary.state);
  if (provisional) {
    provisional_ = std::make_unique<Provisional>();
    provisional_->arena_mark = arena_mark;
    if (known != nullptr) provisional_->superseded = *known - 1;
  } else if (known != nullptr) {
    *known = next + 1;
  } else {
    table_->insert(hash, next, [this](std::uint32_t known) { return IdTable::hash(id(known)); });
  }
  entries_.push_back(entry);
}

void TaskLogIndex::withdraw_provisional() {
  if (!provisional_) return;
  entries_.pop_back();
  arena_.resize(provisional_->arena_mark);
  if (provisional_->superseded) {
    entries_[*provisional_->superseded].dead = false;
    --dead_count_;
  }
  provisional_.reset();
}

void TaskLogIndex::compact_if_worthwhile() {
  if (dead_count_ < 4096 || dead_count_ < task_count()) return;
  std::vector<Entry> living;
  living.reserve(task_count() + task_count() / 4);
  std::size_t living_text = 0;
  for (const Entry& entry : entries_) {
    if (entry.dead) continue;
    living_text += entry.id.size + entry.timestamp.size;
    if (entry.context.at != entry.id.at) living_text += entry.context.size;
  }
  std::vector<char> old_arena = std::move(arena_);
  arena_ = std::vector<char>();
  arena_.reserve(living_text + living_text / 4);
  table_ = std::make_unique<IdTable>();
  table_->reserve(task_count());
  const auto old_text = [&](TextRef ref) {
    return std::string_view(old_arena.data() + ref.at, ref.size);
  };
  for (const Entry& entry : entries_) {
    if (entry.dead) continue;
    Entry moved = entry;
    moved.id = keep(old_text(entry.id));
    moved.context = entry.context.at == entry.id.at ? moved.id : keep(old_text(entry.context));
    moved.timestamp = keep(old_text(entry.timestamp));
    living.push_back(moved);
    table_->insert(IdTable::hash(old_text(entry.id)), static_cast<std::uint32_t>(living.size() - 1),
                   [&](std::uint32_t known) { return IdTable::hash(text(living[known].id)); });
  }
  entries_ = std::move(living);
  dead_count_ = 0;
}

void TaskLogIndex::read_appended(std::FILE* file) {
  std::string unfinished;
  const std::uint64_t unfinished_at = reader_.read_appended(
      file,
      [this](std::string_view line, std::uint64_t offset) { apply_line(line, offset, false); },
      unfinished);
  compact_if_worthwhile();
  const std::string_view line = trim_view(unfinished);
  if (!line.empty()) apply_line(line, unfinished_at + (line.data() - unfinished.data()), true);
}

void TaskLogIndex::refresh() {
  withdraw_provisional();
  bool restarted = false;
  TaskLogFile file = reader_.open(log_path_, restarted);
  if (!file) {
    reset();
    file_.reset();
    return;
  }
  if (restarted) {
    reset();
    ++rebuilds_;
    // Stored records run to about a kilobyte; this spares most regrowth.
    const std::size_t expected = static_cast<std::size_t>(reader_.size() / 2048);
    entries_.reserve(expected);
    arena_.reserve(expected * 64);
    table_->reserve(expected);
  }
  read_appended(file.get());
  file_ = std::move(file);
}

std::vector<std::string> TaskLogIndex::read_lines(const std::vector<std::uint32_t>& slots) const {
  std::vector<std::string> texts(slots.size());
  if (!file_) return texts;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    const Entry& entry = entries_[slots[i]];
    std::string text(entry.length, '\0');
    if (std::fseek(file_.get(), static_cast<long>(entry.offset), SEEK_SET) == 0 &&
        std::fread(text.data(), 1, text.size(), file_.get()) == text.size()) {
      texts[i] = std::move(text);
    }
  }
  return texts;
}

std::size_t TaskLogIndex::memory_bytes() const {
  std::size_t bytes = entries_.capacity() * sizeof(Entry) + arena_.capacity() + table_->bytes();
  for (const TaskOwnerText& owner : owners_)
    bytes += sizeof owner + owner.client_id.capacity() + owner.agent.capacity() +
             owner.node.capacity();
  for (const std::string& state : states_)
    bytes += sizeof state + state.capacity();
  return bytes;
}

std::vector<std::string> read_latest_task_lines(const std::filesystem::path& log_path) {
  TaskLogIndex index(log_path);
  index.refresh();
  std::vector<std::uint32_t> slots;
  slots.reserve(index.task_count());
  for (std::uint32_t slot = 0; slot < index.slot_count(); ++slot) {
    if (index.live(slot)) slots.push_back(slot);
  }
  return index.read_lines(slots);
}

}  // namespace tessik
