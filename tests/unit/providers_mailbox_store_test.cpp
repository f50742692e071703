// Mailbox spool: exact file text, idempotent repeats, conflicts, limits, unsafe ids, the lock
// directory's time-out, and reading a spool with broken files in it.
#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "providers/mailbox/mailbox_store.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;
using test::read_file;

MailboxMessage sample(std::string id = "msg-1", std::string body = "hello") {
  MailboxMessage message;
  message.message_id = std::move(id);
  message.test_id = "test-9";
  message.received_at = "2026-12-06T05:30:00Z";
  message.target_display_name = "Tessik Mailbox";
  message.sender_resolved = true;
  message.sender_name = "Alice \"A\"";
  message.sender_node = "local";
  message.sender_source = "registry_name";
  message.final_visible_body = std::move(body);
  return message;
}

std::size_t entries(const fs::path& dir) {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

class MailboxStoreTest : public ::testing::Test {
 protected:
  test::TempEnv env;
  fs::path spool = env.state_dir() / "mailbox" / "messages";
};

TEST_F(MailboxStoreTest, WritesTheExactFileTextUnderTheTimeAndIdName) {
  MailboxMessage message = sample("  msg-1 ", "line one\nline \"two\"\t\x01");
  const MailboxWriteResult result = write_mailbox_message(spool, message);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_FALSE(result.idempotent);
  EXPECT_EQ(result.committed_path, spool / "2026-12-06T05-30-00Z_msg-1.json");
  const std::string expected =
      "{\n"
      "  \"schema_version\": 1,\n"
      "  \"message_id\": \"msg-1\",\n"
      "  \"test_id\": \"test-9\",\n"
      "  \"received_at\": \"2026-12-06T05:30:00Z\",\n"
      "  \"target_display_name\": \"Tessik Mailbox\",\n"
      "  \"provider\": \"tessik_mailbox\",\n"
      "  \"provider_session_id\": \"tessik_mailbox:default\",\n"
      "  \"sender_resolved\": true,\n"
      "  \"sender_name\": \"Alice \\\"A\\\"\",\n"
      "  \"sender_node\": \"local\",\n"
      "  \"sender_source\": \"registry_name\",\n"
      "  \"final_visible_body\": \"line one\\nline \\\"two\\\"\\t\\u0001\",\n"
      "  \"body_bytes\": 21,\n"
      "  \"delivery_method\": \"tessik_mailbox_atomic_spool\"\n"
      "}\n";
  EXPECT_EQ(read_file(result.committed_path), expected);
  EXPECT_EQ(result.stored_bytes, expected.size());
  EXPECT_EQ(entries(spool), 1u) << "lock directory or temporary file left behind";

  const auto messages = read_mailbox_messages(spool);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_FALSE(messages[0].failed) << messages[0].error;
  EXPECT_EQ(messages[0].final_visible_body, "line one\nline \"two\"\t\x01");
  EXPECT_EQ(messages[0].sender_name, "Alice \"A\"");
  EXPECT_TRUE(messages[0].sender_resolved);
  EXPECT_EQ(messages[0].body_bytes, 21u);
}

TEST_F(MailboxStoreTest, RepeatIsIdempotentAndADifferentBodyConflicts) {
  const MailboxWriteResult first = write_mailbox_message(spool, sample());
  ASSERT_TRUE(first.ok) << first.error;
  const std::string stored = read_file(first.committed_path);

  MailboxMessage later = sample();
  later.received_at = "2026-12-06T06:00:00Z";  // storage time is not part of the identity
  const MailboxWriteResult again = write_mailbox_message(spool, later);
  EXPECT_TRUE(again.ok) << again.error;
  EXPECT_TRUE(again.idempotent);
  EXPECT_EQ(again.committed_path, first.committed_path);
  EXPECT_EQ(again.stored_bytes, fs::file_size(first.committed_path));
  EXPECT_EQ(entries(spool), 1u);

  const MailboxWriteResult conflict = write_mailbox_message(spool, sample("msg-1", "other"));
  EXPECT_FALSE(conflict.ok);
  EXPECT_EQ(conflict.error, "mailbox message_id conflicts with different existing content: msg-1");
  MailboxMessage other_sender = sample();
  other_sender.sender_resolved = false;
  EXPECT_FALSE(write_mailbox_message(spool, other_sender).ok);
  EXPECT_EQ(read_file(first.committed_path), stored);
  EXPECT_EQ(entries(spool), 1u);
}

TEST_F(MailboxStoreTest, AnyStoredMessageWithTheIdCountsWhateverItsFileIsCalled) {
  // A message stored under a name that does not carry its id, before any write indexed it.
  fs::create_directories(spool);
  MailboxMessage imported = sample("msg-7", "first body");
  imported.body_bytes = imported.final_visible_body.size();
  const fs::path imported_path = spool / "imported.json";
  {
    std::ofstream out(imported_path, std::ios::binary);
    out << serialize_mailbox_message(imported);
  }
  const MailboxWriteResult conflict = write_mailbox_message(spool, sample("msg-7", "other body"));
  EXPECT_FALSE(conflict.ok);
  EXPECT_EQ(conflict.error, "mailbox message_id conflicts with different existing content: msg-7");
  const MailboxWriteResult same = write_mailbox_message(spool, sample("msg-7", "first body"));
  EXPECT_TRUE(same.idempotent) << same.error;
  EXPECT_EQ(same.committed_path, imported_path);
  EXPECT_EQ(entries(spool), 1u);

  // Later writes find their own messages the same way; a message removed by hand frees its id.
  const MailboxWriteResult own = write_mailbox_message(spool, sample("msg-8"));
  ASSERT_TRUE(own.ok) << own.error;
  EXPECT_FALSE(write_mailbox_message(spool, sample("msg-8", "changed")).ok);
  fs::remove(own.committed_path);
  EXPECT_TRUE(write_mailbox_message(spool, sample("msg-8", "changed")).ok);
  EXPECT_EQ(entries(spool), 2u);
}

TEST_F(MailboxStoreTest, IdsAndBodiesAtTheirLimits) {
  const std::string id128(128, 'a');
  EXPECT_TRUE(write_mailbox_message(spool, sample(id128)).ok);
  const std::string unsafe_ids[] = {
      "", "   ", std::string(129, 'a'), "a.b", "a/b", "a:b", "a b", "../x", "é"};
  for (const std::string& id : unsafe_ids) {
    const MailboxWriteResult result = write_mailbox_message(env.root() / "never", sample(id));
    EXPECT_FALSE(result.ok) << id;
    EXPECT_EQ(result.error, "mailbox message_id is empty or contains unsafe filename characters");
  }
  EXPECT_FALSE(fs::exists(env.root() / "never")) << "an unsafe id touched the file system";

  const MailboxWriteResult full =
      write_mailbox_message(spool, sample("big", std::string(1'048'576, 'x')));
  EXPECT_TRUE(full.ok) << full.error;
  const MailboxWriteResult over =
      write_mailbox_message(spool, sample("bigger", std::string(1'048'577, 'x')));
  EXPECT_EQ(over.error, "mailbox final_visible_body exceeds one MiB limit");
  EXPECT_EQ(write_mailbox_message(spool, sample("empty", "")).error,
            "mailbox final_visible_body is empty");
}

TEST_F(MailboxStoreTest, BlankReceivedAtIsStampedNow) {
  MailboxMessage message = sample();
  message.received_at = "  ";
  const MailboxWriteResult result = write_mailbox_message(spool, message);
  ASSERT_TRUE(result.ok);
  const auto stored = read_mailbox_messages(spool);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].received_at.size(), 20u);
  EXPECT_EQ(stored[0].received_at.back(), 'Z');
}

TEST_F(MailboxStoreTest, HeldLockFailsAfterFiveSecondsAndOtherIdsStillWrite) {
  fs::create_directories(spool / "stuck.lock");
  const MailboxWriteResult blocked = write_mailbox_message(spool, sample("stuck"));
  EXPECT_FALSE(blocked.ok);
  EXPECT_EQ(blocked.error,
            "timed out waiting for mailbox message lock: " + (spool / "stuck.lock").string());
  EXPECT_TRUE(fs::exists(spool / "stuck.lock")) << "someone else's lock must stay";
  EXPECT_TRUE(write_mailbox_message(spool, sample("free")).ok);
}

TEST_F(MailboxStoreTest, ReadingReportsBrokenFilesAndKeepsGoing) {
  ASSERT_TRUE(write_mailbox_message(spool, sample("good")).ok);
  std::ofstream(spool / "huge.json") << std::string(2'097'153, ' ');
  std::ofstream(spool / "limit.JSON") << std::string(2'097'152, ' ');
  std::ofstream(spool / "old.json") << "{\"schema_version\": 2}";
  std::ofstream(spool / "partial.json") << "{\"schema_version\": 1, \"message_id\": \"p\"}";
  std::ofstream(spool / "bytes.json")
      << R"({"schema_version":1,"message_id":"b","test_id":"","received_at":"",)"
      << R"("target_display_name":"","provider":"","provider_session_id":"","sender_name":"",)"
      << R"("sender_node":"","sender_source":"","final_visible_body":"xyz",)"
      << R"("delivery_method":"","body_bytes":-1})";
  std::ofstream(spool / "x.json.tmp.0123") << "ignored";
  std::ofstream(spool / "notes.txt") << "ignored";

  std::map<std::string, std::string> errors;
  for (const MailboxMessage& message : read_mailbox_messages(spool)) {
    errors[message.file_path.filename().string()] = message.failed ? message.error : "ok";
  }
  EXPECT_EQ(errors.size(), 6u);
  EXPECT_EQ(errors["huge.json"], "mailbox message file exceeds read limit");
  EXPECT_EQ(errors["limit.JSON"], "unsupported or missing mailbox schema_version");
  EXPECT_EQ(errors["old.json"], "unsupported or missing mailbox schema_version");
  EXPECT_EQ(errors["partial.json"], "missing required mailbox field: test_id");
  EXPECT_EQ(errors["bytes.json"], "invalid mailbox body_bytes field");
  EXPECT_EQ(errors[mailbox_file_name("2026-12-06T05:30:00Z", "good")], "ok");

  EXPECT_TRUE(read_mailbox_messages(env.root() / "no-such-spool").empty());
}

TEST(MailboxStoreParse, BodyBytesDefaultsToTheBodyLength) {
  const MailboxMessage message = parse_mailbox_message(
      R"({"schema_version":1,"message_id":"b","test_id":"","received_at":"",)"
      R"("target_display_name":"","provider":"","provider_session_id":"","sender_name":"",)"
      R"("sender_node":"","sender_source":"","final_visible_body":"xyz","delivery_method":""})");
  EXPECT_FALSE(message.failed) << message.error;
  EXPECT_EQ(message.body_bytes, 3u);
  EXPECT_FALSE(message.sender_resolved);
}

}  // namespace
}  // namespace tessik
