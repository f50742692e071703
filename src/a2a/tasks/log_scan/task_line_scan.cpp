// Listing reads every line of the task log on every request, so the per-line work is a single
// validating pass that copies only the wanted strings. The grammar checks mirror
// nlohmann::json's (RFC 8259 strings, numbers and literals, strict UTF-8, paired surrogates).
#include "a2a/tasks/log_scan/task_line_scan.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>

#include "base/json_token_scan.h"
#include "a2a/tasks/task_json.h"
#include "base/json_depth.h"

namespace tessik {
namespace {

// Depth counts from 0 at the line's own object; deeper lines go to the library path, which
// refuses them, so both paths read the same lines.
constexpr int kMaxDepth = static_cast<int>(kMaxStoredJsonNestingDepth) - 1;

// Which top-level or nested member a string value belongs to.
enum class Slot {
  none,
  id,
  context_id,
  state,
  timestamp,
  client_id,
  agent,
  node,
};

// Which object the scanner is in: one whose keys matter, or one it only checks.
enum class ObjectKind { skipped, top_level, status, metadata };

class LineScanner {
 public:
  explicit LineScanner(std::string_view line)
      : p_(reinterpret_cast<const unsigned char*>(line.data())), end_(p_ + line.size()) {}

  // false: not JSON. needs_library(): JSON the fast path leaves to nlohmann.
  bool run(TaskLineSummary& summary);
  bool needs_library() const { return needs_library_; }

 private:
  void skip_ws() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r'))
      ++p_;
  }
  bool consume(unsigned char c) {
    skip_ws();
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }
  bool value(int depth, Slot slot);
  bool object(int depth, ObjectKind kind);
  bool member_value(int depth, ObjectKind kind, std::string_view key);
  bool array(int depth);
  bool string(std::string* out);
  bool key(std::string_view& key);
  bool literal(const char* word);
  std::string* target(Slot slot);

  const unsigned char* p_;
  const unsigned char* end_;
  TaskLineSummary* summary_ = nullptr;
  bool needs_library_ = false;
  std::string key_scratch_;  // a key that had to be decoded
};

// A key comparison the compiler turns into a length test and a few loads: keys are compared
// for every member of the objects the scan reads, and a library call each was measurable.
template <std::size_t N>
bool is_key(std::string_view key, const char (&word)[N]) {
  return key.size() == N - 1 && std::memcmp(key.data(), word, N - 1) == 0;
}

Slot slot_for(ObjectKind kind, std::string_view key) {
  switch (kind) {
    case ObjectKind::top_level:
      if (is_key(key, "id")) return Slot::id;
      if (is_key(key, "contextId")) return Slot::context_id;
      break;
    case ObjectKind::status:
      if (is_key(key, "state")) return Slot::state;
      if (is_key(key, "timestamp")) return Slot::timestamp;
      break;
    case ObjectKind::metadata:
      if (is_key(key, "tessikRequesterClientId")) return Slot::client_id;
      if (is_key(key, "tessikRequesterAgent")) return Slot::agent;
      if (is_key(key, "tessikRequesterNode")) return Slot::node;
      break;
    case ObjectKind::skipped:
      break;
  }
  return Slot::none;
}

bool LineScanner::run(TaskLineSummary& summary) {
  summary_ = &summary;
  if (end_ - p_ >= 3 && p_[0] == 0xEF && p_[1] == 0xBB && p_[2] == 0xBF) p_ += 3;
  skip_ws();
  if (p_ == end_) return false;
  const bool ok = *p_ == '{' ? object(0, ObjectKind::top_level) : value(0, Slot::none);
  if (!ok) return false;
  skip_ws();
  return p_ == end_;
}

std::string* LineScanner::target(Slot slot) {
  switch (slot) {
    case Slot::id:
      return &summary_->id;
    case Slot::context_id:
      return &summary_->context_id;
    case Slot::state:
      return &summary_->state;
    case Slot::timestamp:
      return &summary_->timestamp;
    case Slot::client_id:
      return &summary_->requester_client_id;
    case Slot::agent:
      return &summary_->requester_agent;
    case Slot::node:
      return &summary_->requester_node;
    case Slot::none:
      break;
  }
  return nullptr;
}

bool LineScanner::value(int depth, Slot slot) {
  skip_ws();
  if (p_ == end_) return false;
  if (slot != Slot::none && *p_ != '"') needs_library_ = true;  // text of a non-string value
  switch (*p_) {
    case '"':
      if (slot == Slot::none) return string(nullptr);
      target(slot)->clear();
      return string(target(slot));
    case '{':
      return object(depth + 1, ObjectKind::skipped);
    case '[':
      return array(depth + 1);
    case 't':
      return literal("true");
    case 'f':
      return literal("false");
    case 'n':
      return literal("null");
    default:
      return scan_json_number(p_, end_, needs_library_);
  }
}

bool LineScanner::object(int depth, ObjectKind kind) {
  if (depth > kMaxDepth) {
    needs_library_ = true;
    return false;
  }
  ++p_;  // '{'
  skip_ws();
  if (p_ < end_ && *p_ == '}') {
    ++p_;
    return true;
  }
  while (true) {
    skip_ws();
    if (p_ == end_ || *p_ != '"') return false;
    std::string_view name;
    if (kind == ObjectKind::skipped) {
      if (!string(nullptr)) return false;
    } else if (!key(name)) {
      return false;
    }
    if (!consume(':') || !member_value(depth, kind, name)) return false;
    skip_ws();
    if (p_ == end_) return false;
    if (*p_ == '}') {
      ++p_;
      return true;
    }
    if (*p_ != ',') return false;
    ++p_;
  }
}

bool LineScanner::member_value(int depth, ObjectKind kind, std::string_view name) {
  const bool status = kind == ObjectKind::top_level && is_key(name, "status");
  const bool metadata = kind == ObjectKind::top_level && is_key(name, "metadata");
  if (!status && !metadata) return value(depth, slot_for(kind, name));
  // A later duplicate replaces the earlier member entirely, as in a parsed document.
  if (status) {
    summary_->state.clear();
    summary_->timestamp.clear();
  } else {
    summary_->requester_client_id.clear();
    summary_->requester_agent.clear();
    summary_->requester_node.clear();
  }
  skip_ws();
  if (p_ == end_) return false;
  if (*p_ == '"') needs_library_ = true;  // nested document kept as text
  if (*p_ != '{') return value(depth, Slot::none);
  return object(depth + 1, status ? ObjectKind::status : ObjectKind::metadata);
}

// A key as a view into the line when it is plain ASCII without escapes (the usual case),
// else decoded into a scratch buffer.
bool LineScanner::key(std::string_view& name) {
  const unsigned char* start = p_ + 1;
  const unsigned char* q = skip_plain_string_bytes(start, end_);
  if (q < end_ && *q == '"') {
    name = std::string_view(reinterpret_cast<const char*>(start), q - start);
    p_ = q + 1;
    return true;
  }
  key_scratch_.clear();
  if (!string(&key_scratch_)) return false;
  name = key_scratch_;
  return true;
}

bool LineScanner::array(int depth) {
  if (depth > kMaxDepth) {
    needs_library_ = true;
    return false;
  }
  ++p_;  // '['
  skip_ws();
  if (p_ < end_ && *p_ == ']') {
    ++p_;
    return true;
  }
  while (true) {
    if (!value(depth, Slot::none)) return false;
    skip_ws();
    if (p_ == end_) return false;
    if (*p_ == ']') {
      ++p_;
      return true;
    }
    if (*p_ != ',') return false;
    ++p_;
  }
}

bool LineScanner::string(std::string* out) {
  ++p_;  // opening quote
  while (true) {
    const unsigned char* run = p_;
    p_ = skip_plain_string_bytes(p_, end_);
    if (out != nullptr) out->append(reinterpret_cast<const char*>(run), p_ - run);
    if (p_ == end_) return false;
    const unsigned char c = *p_;
    if (c == '"') {
      ++p_;
      return true;
    }
    if (c == '\\') {
      if (!scan_json_escape(p_, end_, out)) return false;
    } else if (c >= 0x80) {
      if (!scan_utf8_sequence(p_, end_, out)) return false;
    } else {
      return false;  // raw control byte
    }
  }
}

bool LineScanner::literal(const char* word) {
  const std::size_t length = std::strlen(word);
  if (static_cast<std::size_t>(end_ - p_) < length || std::memcmp(p_, word, length) != 0) {
    return false;
  }
  p_ += length;
  return true;
}

}  // namespace

std::optional<TaskLineSummary> summarize_task_line_slowly(std::string_view line) {
  if (!json_nesting_within(line, kMaxStoredJsonNestingDepth)) return std::nullopt;
  const nlohmann::json document = nlohmann::json::parse(line, nullptr, false);
  if (document.is_discarded()) return std::nullopt;
  TaskLineSummary summary;
  summary.id = json_member_text(document, "id");
  summary.context_id = json_member_text(document, "contextId");
  const auto nested = [&](std::string_view key) {
    nlohmann::json inner = nlohmann::json::parse(json_member_text(document, key), nullptr, false);
    return inner.is_discarded() ? nlohmann::json() : inner;
  };
  const nlohmann::json status = nested("status");
  summary.state = json_member_text(status, "state");
  summary.timestamp = json_member_text(status, "timestamp");
  const nlohmann::json metadata = nested("metadata");
  summary.requester_client_id = json_member_text(metadata, "tessikRequesterClientId");
  summary.requester_agent = json_member_text(metadata, "tessikRequesterAgent");
  summary.requester_node = json_member_text(metadata, "tessikRequesterNode");
  return summary;
}

bool scan_task_line_into(std::string_view line, TaskLineSummary& summary) {
  summary.id.clear();
  summary.context_id.clear();
  summary.state.clear();
  summary.timestamp.clear();
  summary.requester_client_id.clear();
  summary.requester_agent.clear();
  summary.requester_node.clear();
  LineScanner scanner(line);
  const bool ok = scanner.run(summary);
  if (!scanner.needs_library()) return ok;
  std::optional<TaskLineSummary> slow = summarize_task_line_slowly(line);
  if (!slow) return false;
  summary = std::move(*slow);
  return true;
}

std::optional<TaskLineSummary> scan_task_line(std::string_view line) {
  TaskLineSummary summary;
  if (!scan_task_line_into(line, summary)) return std::nullopt;
  return summary;
}

}  // namespace tessik
