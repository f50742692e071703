// The mailbox spool: one JSON file per message delivered to the built-in mailbox, written
// under a per-message lock directory, idempotent for a repeated message, and read back.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tessik {

inline constexpr std::size_t kMailboxMessageIdMaxChars = 128;
inline constexpr std::uint64_t kMailboxBodyMaxBytes = 1'048'576;
inline constexpr std::uint64_t kMailboxFileReadLimit = 2'097'152;
inline constexpr char kMailboxDeliveryMethod[] = "tessik_mailbox_atomic_spool";

// One stored message. The members up to `delivery_method` are the file's members in file
// order; the last three describe a message read back from disk.
struct MailboxMessage {
  int schema_version = 1;
  std::string message_id;
  std::string test_id;
  std::string received_at;  // "%Y-%m-%dT%H:%M:%SZ"; filled at write time when blank
  std::string target_display_name;
  std::string provider = "tessik_mailbox";
  std::string provider_session_id = "tessik_mailbox:default";
  bool sender_resolved = false;
  std::string sender_name;
  std::string sender_node;
  std::string sender_source;
  std::string final_visible_body;
  std::uint64_t body_bytes = 0;
  std::string delivery_method = kMailboxDeliveryMethod;

  std::filesystem::path file_path;
  bool failed = false;
  std::string error;
};

struct MailboxWriteResult {
  bool ok = false;
  bool idempotent = false;  // an equal message with this id was already stored
  std::filesystem::path committed_path;
  std::uint64_t stored_bytes = 0;
  std::string error;
};

// 1 to 128 characters, each an ASCII letter, digit, '-' or '_' (the id is part of file names).
bool is_safe_mailbox_message_id(std::string_view id);

// The exact file text of a message (body_bytes as given).
std::string serialize_mailbox_message(const MailboxMessage& message);

// Parses a file's text; on a format error the returned message is failed with the error set.
MailboxMessage parse_mailbox_message(std::string_view text);

// "<received_at with unsafe characters as '-'>_<message id>.json".
std::string mailbox_file_name(std::string_view received_at, std::string_view message_id);

// Stores `message` in `spool`. Never throws for expected failures: every failure is in the
// result's error and no partial file is ever visible. Writers of one id, in any process, are
// serialized by "<id>.lock"; a lock that stays taken fails the write after 5 seconds.
MailboxWriteResult write_mailbox_message(const std::filesystem::path& spool,
                                         MailboxMessage message);

// Every ".json" regular file of `spool` in directory order, each parsed or marked failed
// (unreadable, larger than 2,097,152 bytes, or malformed). A missing spool gives no entries.
std::vector<MailboxMessage> read_mailbox_messages(const std::filesystem::path& spool);

// The ".json" regular files of `spool` (extension compared case-insensitively), directory order.
std::vector<std::filesystem::path> mailbox_message_files(const std::filesystem::path& spool);

// Reads and parses one message file (failed when unreadable, too long or malformed).
MailboxMessage read_mailbox_message_file(const std::filesystem::path& path);

}  // namespace tessik
