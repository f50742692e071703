// SendMessage end to end: the API-service stand-in, the real broker, the task store and the
// detached delivery worker writing to the built-in mailbox.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "a2a/tasks/task_log.h"
#include "providers/mailbox/mailbox_store.h"
#include "support/build_paths.h"
#include "support/gateway_stack.h"
#include "support/send_envelope.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

using nlohmann::json;

TEST(SendMessageEndToEnd, ATokenSendWithoutTargetReachesTheMailbox) {
  test::TempEnv env;
  env.set("TESSIK_SERVICE_UID", std::to_string(::getuid()));
  env.set("TESSIK_EXE", TESSIK_BINARY);
  test::GatewayStack stack;
  httplib::Client client("127.0.0.1", stack.port());
  client.set_read_timeout(30);

  const std::string body =
      R"({"message":{"messageId":"it-1","role":"ROLE_USER","parts":[{"text":"hello mailbox"}]}})";
  const auto result = client.Post(
      "/a2a/message:send", {{"Authorization", "Bearer " + stack.token()}, {"A2A-Version", "1.0"}},
      body, "application/json");
  ASSERT_TRUE(result);
  ASSERT_EQ(result->status, 200) << result->body;
  EXPECT_EQ(result->get_header_value("Content-Type"), "application/a2a+json");
  const json task = json::parse(result->body)["task"];
  EXPECT_EQ(task["status"]["state"], "TASK_STATE_WORKING");
  EXPECT_EQ(task["metadata"]["tessikEvents"].size(), 3u);
  EXPECT_EQ(task["metadata"]["tessikRequesterAgent"], "local-a2a-client");

  const auto stored =
      find_latest_task_line(env.state_dir() / "a2a" / "tasks.jsonl", task["id"].get<std::string>());
  ASSERT_TRUE(stored);
  EXPECT_EQ(json::parse(*stored)["status"]["state"], "TASK_STATE_WORKING");

  const std::filesystem::path spool = env.state_dir() / "mailbox" / "messages";
  test::wait_for_mailbox_files(spool, 1, std::chrono::seconds(60));
  const std::vector<MailboxMessage> messages = read_mailbox_messages(spool);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_FALSE(messages[0].failed) << messages[0].error;
  EXPECT_NE(messages[0].final_visible_body.find("hello mailbox"), std::string::npos);
  // The caller has no reply address, so the body carries no send-back command; the stored
  // message still names who sent it.
  EXPECT_EQ(messages[0].sender_name, "local-a2a-client");
}

}  // namespace
}  // namespace tessik
