// SendMessage end to end: through the API-service stand-in and the real broker to the detached
// delivery worker writing to the built-in mailbox.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>

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
  // What the task holds and stores is the gateway's, shown by the send intake tests.
  EXPECT_EQ(json::parse(result->body)["task"]["status"]["state"], "TASK_STATE_WORKING");

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
