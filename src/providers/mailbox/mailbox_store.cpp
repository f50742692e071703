// Mailbox spool. The lock is a directory because its creation is atomic in every process
// without a shared handle; messages are published by rename so readers never see half a file.
#include "providers/mailbox/mailbox_store.h"

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <system_error>
#include <thread>

#include "base/json_depth.h"
#include "base/text.h"
#include "platform/files.h"
#include "registry/lock_publish.h"

namespace tessik {
namespace fs = std::filesystem;
namespace {

constexpr auto kLockRetryInterval = std::chrono::milliseconds(10);
constexpr auto kLockTimeout = std::chrono::seconds(5);

bool is_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

void append_member(std::string& out, std::string_view key, std::string_view value) {
  out += "  \"";
  out += key;
  out += "\": \"";
  append_json_escaped(out, value);
  out += "\",\n";
}

// Compared members of the idempotency test; the storage time and the derived fields differ
// legitimately between two deliveries of one message.
bool same_content(const MailboxMessage& a, const MailboxMessage& b) {
  return a.message_id == b.message_id && a.test_id == b.test_id &&
         a.target_display_name == b.target_display_name && a.provider == b.provider &&
         a.provider_session_id == b.provider_session_id && a.sender_resolved == b.sender_resolved &&
         a.sender_name == b.sender_name && a.sender_node == b.sender_node &&
         a.sender_source == b.sender_source && a.final_visible_body == b.final_visible_body &&
         a.delivery_method == b.delivery_method;
}

// Removes the lock directory on every exit path of a write.
class MessageLock {
 public:
  explicit MessageLock(fs::path path) : path_(std::move(path)) {}
  ~MessageLock() {
    if (!held_) return;
    std::error_code ignored;
    fs::remove(path_, ignored);
  }
  MessageLock(const MessageLock&) = delete;
  MessageLock& operator=(const MessageLock&) = delete;

  // Empty on success, else the failure text.
  std::string acquire() {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
      std::error_code error;
      if (platform::create_private_directory(path_, error)) {
        held_ = true;
        return {};
      }
      if (error) return "could not create mailbox message lock: " + error.message();
      if (std::chrono::steady_clock::now() - start >= kLockTimeout) {
        return "timed out waiting for mailbox message lock: " + path_.string();
      }
      std::this_thread::sleep_for(kLockRetryInterval);
    }
  }

 private:
  fs::path path_;
  bool held_ = false;
};

MailboxWriteResult failure(std::string error) {
  MailboxWriteResult result;
  result.error = std::move(error);
  return result;
}

// The answer for a stored message equal to or in conflict with `message`.
MailboxWriteResult existing_result(const MailboxMessage& stored, const MailboxMessage& message) {
  if (!same_content(stored, message)) {
    return failure("mailbox message_id conflicts with different existing content: " +
                   message.message_id);
  }
  MailboxWriteResult result;
  std::error_code error;
  const auto size = fs::file_size(stored.file_path, error);
  result.ok = true;
  result.idempotent = true;
  result.committed_path = stored.file_path;
  result.stored_bytes = error ? 0 : size;
  return result;
}

MailboxWriteResult commit(const fs::path& final_path, const std::string& text) {
  try {
    publish_file_atomically(final_path, text, "mailbox message");
  } catch (const RegistryError& error) {
    return failure(error.what());
  }
  MailboxWriteResult result;
  result.ok = true;
  result.committed_path = final_path;
  result.stored_bytes = text.size();
  return result;
}

// The id index: beside the spool, one small file per stored message id holding the name of
// its message file. It answers "is this id stored?" without listing the spool, whatever the
// message file is called. A spool that predates the index is indexed once, by a full read,
// before the stamp file says the index is complete.
constexpr char kIndexCompleteStamp[] = ".complete";

fs::path index_directory(const fs::path& spool) {
  return spool.parent_path() / (spool.filename().string() + "-by-id");
}

// Empty on success, else the failure text.
std::string index_message(const fs::path& spool, std::string_view message_id,
                          const fs::path& file) {
  return commit(index_directory(spool) / std::string(message_id), file.filename().string()).error;
}

// Empty when the index could be made complete, else the failure text.
std::string ensure_index(const fs::path& spool) {
  const fs::path index = index_directory(spool);
  std::error_code error;
  if (fs::exists(index / kIndexCompleteStamp, error)) return {};
  platform::create_private_directories(index, error);
  if (error) return "could not create mailbox id index: " + error.message();
  for (const MailboxMessage& stored : read_mailbox_messages(spool)) {
    if (stored.failed || !is_safe_mailbox_message_id(stored.message_id)) continue;
    if (std::string failed = index_message(spool, stored.message_id, stored.file_path);
        !failed.empty())
      return failed;
  }
  const MailboxWriteResult stamp = commit(index / kIndexCompleteStamp, "");
  return stamp.ok ? std::string() : stamp.error;
}

// The stored message with this id, if any. An index entry whose file is gone, unreadable or
// holds another id is stale (a write that stopped between its index entry and its message).
std::optional<MailboxMessage> find_stored(const fs::path& spool, const std::string& message_id) {
  std::ifstream in(index_directory(spool) / message_id, std::ios::binary);
  if (!in.is_open()) return std::nullopt;
  std::string name;
  std::getline(in, name);
  if (name.empty() || fs::path(name).filename() != fs::path(name)) return std::nullopt;
  MailboxMessage stored = read_mailbox_message_file(spool / name);
  if (stored.failed || stored.message_id != message_id) return std::nullopt;
  return stored;
}

}  // namespace

bool is_safe_mailbox_message_id(std::string_view id) {
  if (id.empty() || id.size() > kMailboxMessageIdMaxChars) return false;
  for (const char c : id) {
    if (!is_name_char(c)) return false;
  }
  return true;
}

std::string mailbox_file_name(std::string_view received_at, std::string_view message_id) {
  std::string name;
  name.reserve(received_at.size() + message_id.size() + 6);
  for (const char c : received_at)
    name += is_name_char(c) ? c : '-';
  name += '_';
  name += message_id;
  name += ".json";
  return name;
}

std::string serialize_mailbox_message(const MailboxMessage& message) {
  std::string out = "{\n  \"schema_version\": 1,\n";
  append_member(out, "message_id", message.message_id);
  append_member(out, "test_id", message.test_id);
  append_member(out, "received_at", message.received_at);
  append_member(out, "target_display_name", message.target_display_name);
  append_member(out, "provider", message.provider);
  append_member(out, "provider_session_id", message.provider_session_id);
  out += message.sender_resolved ? "  \"sender_resolved\": true,\n"
                                 : "  \"sender_resolved\": false,\n";
  append_member(out, "sender_name", message.sender_name);
  append_member(out, "sender_node", message.sender_node);
  append_member(out, "sender_source", message.sender_source);
  append_member(out, "final_visible_body", message.final_visible_body);
  out += "  \"body_bytes\": " + std::to_string(message.body_bytes) + ",\n";
  out += "  \"delivery_method\": \"";
  append_json_escaped(out, message.delivery_method);
  out += "\"\n}\n";
  return out;
}

MailboxMessage parse_mailbox_message(std::string_view text) {
  MailboxMessage message;
  const nlohmann::json document = json_nesting_within(text, kMaxStoredJsonNestingDepth)
                                      ? nlohmann::json::parse(text, nullptr, false)
                                      : nlohmann::json(nlohmann::json::value_t::discarded);
  const auto fail = [&](std::string error) {
    message.failed = true;
    message.error = std::move(error);
    return message;
  };
  // Text that is not a JSON object holds no schema version to look up.
  if (!document.is_object()) return fail("unsupported or missing mailbox schema_version");
  const auto version = document.find("schema_version");
  if (version == document.end() || !version->is_number_integer() || *version != 1) {
    return fail("unsupported or missing mailbox schema_version");
  }
  const std::pair<const char*, std::string*> texts[] = {
      {"message_id", &message.message_id},
      {"test_id", &message.test_id},
      {"received_at", &message.received_at},
      {"target_display_name", &message.target_display_name},
      {"provider", &message.provider},
      {"provider_session_id", &message.provider_session_id},
      {"sender_name", &message.sender_name},
      {"sender_node", &message.sender_node},
      {"sender_source", &message.sender_source},
      {"final_visible_body", &message.final_visible_body},
      {"delivery_method", &message.delivery_method},
  };
  for (const auto& [key, field] : texts) {
    const auto value = document.find(key);
    if (value == document.end() || !value->is_string()) {
      return fail(std::string("missing required mailbox field: ") + key);
    }
    *field = value->get<std::string>();
  }
  const auto resolved = document.find("sender_resolved");
  message.sender_resolved =
      resolved != document.end() && resolved->is_boolean() && resolved->get<bool>();
  const auto bytes = document.find("body_bytes");
  if (bytes == document.end()) {
    message.body_bytes = message.final_visible_body.size();
  } else if (bytes->is_number_unsigned()) {
    message.body_bytes = bytes->get<std::uint64_t>();
  } else {
    return fail("invalid mailbox body_bytes field");
  }
  return message;
}

MailboxWriteResult write_mailbox_message(const fs::path& spool, MailboxMessage message) {
  message.message_id = trim(message.message_id);
  if (!is_safe_mailbox_message_id(message.message_id)) {
    return failure("mailbox message_id is empty or contains unsafe filename characters");
  }
  if (message.final_visible_body.empty()) return failure("mailbox final_visible_body is empty");
  if (message.final_visible_body.size() > kMailboxBodyMaxBytes) {
    return failure("mailbox final_visible_body exceeds one MiB limit");
  }
  message.received_at = trim(message.received_at);
  if (message.received_at.empty()) message.received_at = utc_timestamp_now();
  message.body_bytes = message.final_visible_body.size();

  std::error_code error;
  platform::create_private_directories(spool, error);
  if (error) return failure("could not create mailbox directory: " + error.message());

  MessageLock lock(spool / (message.message_id + ".lock"));
  if (std::string lock_error = lock.acquire(); !lock_error.empty()) return failure(lock_error);

  if (std::string index_error = ensure_index(spool); !index_error.empty())
    return failure(index_error);
  if (const auto stored = find_stored(spool, message.message_id))
    return existing_result(*stored, message);
  // The index entry goes first: a crash before the message lands leaves only a stale entry,
  // never a message that a later write of the same id cannot see.
  const fs::path final_path = spool / mailbox_file_name(message.received_at, message.message_id);
  if (std::string index_error = index_message(spool, message.message_id, final_path);
      !index_error.empty())
    return failure(index_error);
  return commit(final_path, serialize_mailbox_message(message));
}

MailboxMessage read_mailbox_message_file(const fs::path& path) {
  MailboxMessage message;
  message.file_path = path;
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in.is_open()) {
    message.failed = true;
    message.error = "could not read mailbox message file";
    return message;
  }
  const std::streamoff size = in.tellg();
  if (size < 0) {
    message.failed = true;
    message.error = "could not read mailbox message file";
    return message;
  }
  if (static_cast<std::uint64_t>(size) > kMailboxFileReadLimit) {
    message.failed = true;
    message.error = "mailbox message file exceeds read limit";
    return message;
  }
  std::string content(static_cast<std::size_t>(size), '\0');
  in.seekg(0);
  in.read(content.data(), size);
  content.resize(static_cast<std::size_t>(in.gcount()));
  message = parse_mailbox_message(content);
  message.file_path = path;
  return message;
}

std::vector<MailboxMessage> read_mailbox_messages(const fs::path& spool) {
  std::vector<MailboxMessage> messages;
  for (const fs::path& path : mailbox_message_files(spool)) {
    messages.push_back(read_mailbox_message_file(path));
  }
  return messages;
}

std::vector<fs::path> mailbox_message_files(const fs::path& spool) {
  std::vector<fs::path> files;
  std::error_code error;
  fs::directory_iterator it(spool, error);
  for (; !error && it != fs::directory_iterator(); it.increment(error)) {
    std::error_code inspect;
    if (!it->is_regular_file(inspect)) continue;
    if (ascii_lower(it->path().extension().string()) != ".json") continue;
    files.push_back(it->path());
  }
  return files;
}

}  // namespace tessik
