// The queue and delivery-log lines. They are written as text because their key order is part
// of the file format; they are read back with the JSON library, one bounded line at a time.
#include <algorithm>
#include <nlohmann/json.hpp>
#include <unordered_map>

#include "a2a/push/push_delivery.h"
#include "a2a/tasks/log_scan/appended_log.h"
#include "a2a/tasks/task_log.h"
#include "base/json_depth.h"
#include "base/sha256.h"
#include "base/text.h"
#include "state/state_dir.h"

namespace tessik {
namespace {

using nlohmann::json;

void append_number(std::string& out, std::string_view key, std::int64_t value) {
  out += ",\"";
  out += key;
  out += "\":";
  out += std::to_string(value);
}

void append_text(std::string& out, std::string_view key, std::string_view value) {
  out += ',';
  append_json_string_member(out, key, value);
}

std::string text_member(const json& object, const char* name) {
  const auto it = object.find(name);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

template <typename Number>
Number number_member(const json& object, const char* name, Number fallback) {
  const auto it = object.find(name);
  if (it == object.end() || !it->is_number_integer()) return fallback;
  return it->get<Number>();
}

// Cheap test before parsing: a line can hold a wanted id only when its text appears in it.
bool may_hold_any(std::string_view line, const std::set<std::string>& ids) {
  for (const std::string& id : ids) {
    if (line.find(id) != std::string_view::npos) return true;
  }
  return false;
}

// The text of a plain string member that starts at `at`: `"key":"value"` with no escape in
// the value. Advances `at` past it.
std::optional<std::string_view> plain_member(std::string_view line, std::size_t& at,
                                             std::string_view key) {
  // "key":" without building it: one quote, the key, then the three separator characters.
  const std::string_view rest = line.substr(std::min(at, line.size()));
  if (rest.size() < key.size() + 4 || rest[0] != '"' || rest.substr(1, key.size()) != key ||
      rest.substr(1 + key.size(), 3) != "\":\"")
    return std::nullopt;
  const std::size_t start = at + key.size() + 4;
  const std::size_t end = line.find('"', start);
  if (end == std::string_view::npos) return std::nullopt;
  const std::string_view value = line.substr(start, end - start);
  if (value.find('\\') != std::string_view::npos || trim_view(value) != value || value.empty())
    return std::nullopt;
  at = end + 1;
  return value;
}

}  // namespace

// Lines this program wrote start with the identifying members in a fixed order and carry
// "state" right after "payloadSha256"; those are read by position, which matters because a
// run over the whole queue would otherwise parse every line ever written. Anything else
// (other key orders, escapes, blanks) gets nothing here and is parsed in full.
std::optional<QueueLineKey> scan_queue_line_key(std::string_view line) {
  // A line cut short by a killed writer is left to the full parse, which refuses it.
  if (line.size() < 2 || line.front() != '{' || line.back() != '}') return std::nullopt;
  std::size_t at = 1;
  std::optional<std::string_view> id = plain_member(line, at, "deliveryId");
  if (!id || line.substr(at, 1) != ",") return std::nullopt;
  at = line.find("\"taskId\":", at + 1);
  if (at == std::string_view::npos) return std::nullopt;
  for (const char* key : {"taskId", "configId", "callback"}) {
    if (!plain_member(line, at, key) || line.substr(at, 1) != ",") return std::nullopt;
    ++at;
  }
  const std::size_t sha = line.find("\",\"payloadSha256\":\"", at);
  if (sha == std::string_view::npos) return std::nullopt;
  const std::size_t state_key = line.find("\",\"state\":\"", sha + 1);
  if (state_key == std::string_view::npos) return std::nullopt;
  const std::size_t state_at = state_key + 11;
  const std::size_t state_end = line.find('"', state_at);
  if (state_end == std::string_view::npos) return std::nullopt;
  const std::string_view state = line.substr(state_at, state_end - state_at);
  if (state.empty() || state.find('\\') != std::string_view::npos) return std::nullopt;
  return QueueLineKey{std::string(*id), std::string(state)};
}

PushQueuePaths push_queue_paths(const GatewayContext& context) {
  auto pick = [](const std::filesystem::path& given, const char* name) {
    return given.empty() ? a2a_directory() / name : given;
  };
  return {pick(context.push_pending_path, "push-pending.jsonl"),
          pick(context.push_delivery_path, "push-delivery.jsonl"),
          pick(context.push_dead_letter_path, "push-dead-letter.jsonl")};
}

std::string push_delivery_id(std::string_view task_id, std::string_view config_id,
                             std::string_view payload) {
  std::string text = trim(task_id);
  text += '\n';
  text += trim(config_id);
  text += '\n';
  text += payload;
  return sha256_hex(text);
}

std::string push_queue_line(const PushDelivery& delivery, std::string_view updated_at) {
  std::string out = "{";
  append_json_string_member(out, "deliveryId", delivery.delivery_id);
  append_text(out, "updatedAt", updated_at);
  append_text(out, "taskId", delivery.task_id);
  append_text(out, "configId", delivery.config_id);
  append_text(out, "callback", delivery.callback);
  append_text(out, "payloadJson", delivery.payload_json);
  append_text(out, "payloadSha256", delivery.payload_sha256);
  append_text(out, "state", delivery.state);
  append_number(out, "attempt", delivery.attempt);
  append_number(out, "maxAttempts", delivery.max_attempts);
  append_number(out, "dueAtEpochMs", delivery.due_at_epoch_ms);
  append_number(out, "statusCode", delivery.status_code);
  if (!delivery.error.empty()) append_text(out, "error", delivery.error);
  return out + "}";
}

std::string push_attempt_line(const PushDelivery& delivery, std::string_view created_at,
                              std::string_view outcome, std::string_view next_retry_after) {
  std::string out = "{";
  append_json_string_member(out, "createdAt", created_at);
  append_text(out, "taskId", delivery.task_id);
  append_text(out, "configId", delivery.config_id);
  append_text(out, "callback", delivery.callback);
  append_number(out, "attempt", delivery.attempt);
  append_number(out, "maxAttempts", delivery.max_attempts);
  append_number(out, "statusCode", delivery.status_code);
  append_text(out, "outcome", outcome);
  if (!delivery.error.empty()) append_text(out, "error", delivery.error);
  if (!next_retry_after.empty()) append_text(out, "nextRetryAfter", next_retry_after);
  return out + "}";
}

std::optional<PushDelivery> parse_push_queue_line(std::string_view line) {
  if (!json_nesting_within(line)) return std::nullopt;
  const json object = json::parse(line, nullptr, false);
  if (!object.is_object()) return std::nullopt;
  PushDelivery delivery;
  delivery.delivery_id = trim(text_member(object, "deliveryId"));
  delivery.task_id = trim(text_member(object, "taskId"));
  delivery.config_id = trim(text_member(object, "configId"));
  delivery.callback = trim(object.contains("callback") ? text_member(object, "callback")
                                                       : text_member(object, "url"));
  if (delivery.delivery_id.empty() || delivery.task_id.empty() || delivery.config_id.empty() ||
      delivery.callback.empty())
    return std::nullopt;
  delivery.payload_json = text_member(object, "payloadJson");
  delivery.payload_sha256 = text_member(object, "payloadSha256");
  delivery.state = trim(text_member(object, "state"));
  if (delivery.state.empty()) delivery.state = "pending";
  delivery.attempt = number_member<std::int32_t>(object, "attempt", 0);
  delivery.max_attempts = std::max(number_member<std::int32_t>(object, "maxAttempts", 1), 1);
  delivery.due_at_epoch_ms = number_member<std::int64_t>(object, "dueAtEpochMs", 0);
  delivery.status_code = number_member<std::int32_t>(object, "statusCode", 0);
  delivery.error = text_member(object, "error");
  return delivery;
}

namespace {

// The id and state of a queue line: by position when the line is in our layout, else parsed.
std::optional<QueueLineKey> queue_line_key(std::string_view line) {
  if (std::optional<QueueLineKey> key = scan_queue_line_key(line)) return key;
  const std::optional<PushDelivery> delivery = parse_push_queue_line(line);
  if (!delivery) return std::nullopt;
  return QueueLineKey{delivery->delivery_id, delivery->state};
}

bool is_pending_state(std::string_view state) {
  return ascii_lower(trim_view(state)) == "pending";
}

// The deliveries whose last queue record is pending, with where that record stands, kept
// current by reading only the lines appended since the last look: every request runs the
// queue, and a queue of final records must not cost a read of the whole file each time.
class PendingQueue {
 public:
  explicit PendingQueue(std::filesystem::path path) : path_(std::move(path)) {}
  const std::filesystem::path& log_path() const { return path_; }

  // The pending records' lines in file order; only those of `only` when it is not empty.
  std::vector<std::string> lines(const std::set<std::string>& only) {
    bool restarted = false;
    const TaskLogFile file = reader_.open(path_, restarted);
    if (restarted) pending_.clear();
    if (!file) return {};
    std::string unfinished;
    reader_.read_appended(
        file.get(), [this](std::string_view line, std::uint64_t at) { note(line, at); },
        unfinished);
    std::vector<Place> places;
    for (const auto& [id, place] : pending_) {
      if (only.empty() || only.contains(id)) places.push_back(place);
    }
    std::sort(places.begin(), places.end(),
              [](const Place& a, const Place& b) { return a.at < b.at; });
    std::vector<std::string> texts;
    texts.reserve(places.size() + 1);
    for (const Place& place : places) {
      std::string text(place.length, '\0');
      if (std::fseek(file.get(), static_cast<long>(place.at), SEEK_SET) == 0 &&
          std::fread(text.data(), 1, text.size(), file.get()) == text.size())
        texts.push_back(std::move(text));
    }
    add_unfinished(texts, trim_view(unfinished), only);
    return texts;
  }

 private:
  struct Place {
    std::uint64_t at = 0;
    std::uint64_t length = 0;
  };

  void note(std::string_view line, std::uint64_t at) {
    std::optional<QueueLineKey> key = queue_line_key(line);
    if (!key) return;
    if (is_pending_state(key->state)) {
      pending_[std::move(key->delivery_id)] = {at, line.size()};
    } else {
      pending_.erase(key->delivery_id);
    }
  }

  // A last line without its line break is its id's latest record for this look only, as it
  // is for a reader of the whole file; it is read again once the line is complete.
  void add_unfinished(std::vector<std::string>& texts, std::string_view line,
                      const std::set<std::string>& only) const {
    if (line.empty()) return;
    const std::optional<QueueLineKey> key = queue_line_key(line);
    if (!key || (!only.empty() && !only.contains(key->delivery_id))) return;
    if (const auto it = pending_.find(key->delivery_id); it != pending_.end()) {
      std::erase_if(texts, [&](const std::string& text) {
        const std::optional<QueueLineKey> other = queue_line_key(text);
        return other && other->delivery_id == key->delivery_id;
      });
    }
    if (is_pending_state(key->state)) texts.emplace_back(line);
  }

  std::filesystem::path path_;
  AppendedLogReader reader_;
  std::unordered_map<std::string, Place> pending_;
};

std::vector<PushDelivery> read_pending_queue(const std::filesystem::path& path,
                                             const std::set<std::string>& only) {
  static auto* const queues = new SharedLogViews<PendingQueue>();  // outlives static users
  std::vector<std::string> lines;
  queues->with(path, [&](PendingQueue& queue) { lines = queue.lines(only); });
  std::vector<PushDelivery> records;
  records.reserve(lines.size());
  for (const std::string& line : lines) {
    if (std::optional<PushDelivery> delivery = parse_push_queue_line(line))
      records.push_back(std::move(*delivery));
  }
  return records;
}

}  // namespace

std::vector<PushDelivery> read_push_queue(const std::filesystem::path& path,
                                          const std::set<std::string>& only, bool pending_only) {
  if (pending_only) return read_pending_queue(path, only);
  struct Latest {
    std::uint64_t at = 0;
    std::string line;
  };
  std::unordered_map<std::string, Latest> latest;
  for_each_task_log_line(path, [&](std::string_view line, std::uint64_t offset) {
    if (!only.empty() && !may_hold_any(line, only)) return;
    std::optional<QueueLineKey> key = queue_line_key(line);
    if (!key || (!only.empty() && !only.contains(key->delivery_id))) return;
    Latest& slot = latest.try_emplace(std::move(key->delivery_id)).first->second;
    slot.at = offset;
    slot.line.assign(line);
  });
  std::vector<std::pair<std::uint64_t, std::string>> ordered;
  for (auto& [id, entry] : latest) {
    if (!entry.line.empty()) ordered.emplace_back(entry.at, std::move(entry.line));
  }
  std::sort(ordered.begin(), ordered.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<PushDelivery> records;
  records.reserve(ordered.size());
  for (const auto& [at, line] : ordered) {
    if (std::optional<PushDelivery> delivery = parse_push_queue_line(line))
      records.push_back(std::move(*delivery));
  }
  return records;
}

}  // namespace tessik
