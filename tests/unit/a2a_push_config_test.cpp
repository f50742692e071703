// Push configurations: validation and the URL policy, the address classes refused for
// callbacks, reading requests, and the configuration log with its protected secrets.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "a2a/push/push_config.h"
#include "a2a/push/push_config_store.h"
#include "a2a/push/push_url.h"
#include "support/task_fixtures.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

using nlohmann::json;
using test::client_principal;
using test::read_file;

PushConfig valid_config() {
  PushConfig config;
  config.task_id = "task-1";
  config.id = "cfg-1";
  config.url = "https://hooks.example.com/a2a?key=q";
  config.requester_client_id = "client-a";
  return config;
}

std::optional<std::string> validate_with(void (*change)(PushConfig&)) {
  PushConfig config = valid_config();
  change(config);
  return validate_push_config(config);
}

TEST(PushUrlPolicy, LoopbackHttpAndPublicHttpsOnly) {
  for (const char* allowed :
       {"http://127.0.0.5:8080/cb", "http://LOCALHOST/cb", "http://user@127.0.0.1/cb",
        "HTTPS://hooks.example.com/cb", "https://8.8.8.8/cb", "https://172.32.0.1/cb"}) {
    EXPECT_TRUE(is_push_url_allowed(allowed)) << allowed;
  }
  for (const char* refused :
       {"http://example.com/cb", "http://10.0.0.1/cb", "ftp://hooks.example.com/cb",
        "hooks.example.com/cb", "https://10.0.0.1/cb", "https://[2001:4860::1]/cb",
        "https://api.localhost/cb", "https://localhost/cb", "https:///cb", "https://100.64.1.1/",
        "https://169.254.169.254/latest", "https://172.16.0.1/", "https://192.168.1.1/",
        "https://192.0.2.7/", "https://198.19.0.1/", "https://198.51.100.1/",
        "https://203.0.113.9/", "https://224.0.0.1/", "https://0.1.2.3/"}) {
    EXPECT_FALSE(is_push_url_allowed(refused)) << refused;
  }
}

TEST(PushUrlPolicy, SplitsAuthorityAndRedactsTheCallback) {
  const CallbackUrlParts parts =
      split_callback_url(" HTTPS://user:pw@Hooks.Example.com:8443/p?q#f");
  EXPECT_EQ(parts.scheme, "https");
  EXPECT_EQ(parts.host, "Hooks.Example.com");
  EXPECT_EQ(split_callback_url("https://[::1]:443/x").host, "[::1]");
  for (const char* text : {"1.2.3", "1.2.3.256", "1.2.3.4.5"})
    EXPECT_FALSE(parse_ipv4_literal(text)) << text;

  const std::string url = "https://Hooks.example.com/secret-path?token=abc";
  const std::string redacted = redact_callback_url(url);
  EXPECT_TRUE(redacted.starts_with("hooks.example.com#"));
  EXPECT_EQ(redacted.size(), std::string("hooks.example.com#").size() + 16);
  EXPECT_EQ(redacted.find("secret"), std::string::npos);
  EXPECT_NE(redact_callback_url("https://hooks.example.com/other"), redacted);
  EXPECT_EQ(redact_callback_url("no-scheme"), "");
}

TEST(PushUrlPolicy, ResolvedAddressClasses) {
  for (const char* refused :
       {"", "10.1.2.3", "127.0.0.1", "::", "::1", "::ffff:10.0.0.1", "fd00::1", "fe80::1%eth0",
        "ff02::1", "2001:db8::5", "not-an-address", "[2001:4860::1]"}) {
    EXPECT_TRUE(is_private_or_local_address(refused)) << refused;
  }
  for (const char* allowed : {"8.8.8.8", "2001:4860:4860::8888", "::ffff:8.8.8.8", " 1.1.1.1 "})
    EXPECT_FALSE(is_private_or_local_address(allowed)) << allowed;
}

TEST(PushConfigValidation, MessagesInOrder) {
  EXPECT_EQ(validate_push_config(valid_config()), std::nullopt);
  EXPECT_EQ(validate_with([](PushConfig& c) { c.task_id = " "; }),
            "A2A push notification config requires taskId.");
  EXPECT_EQ(validate_with([](PushConfig& c) { c.id.clear(); }),
            "A2A push notification config requires id.");
  EXPECT_EQ(validate_with([](PushConfig& c) { c.url.clear(); }),
            "A2A push notification config requires url.");
  EXPECT_EQ(validate_with([](PushConfig& c) { c.url = "https://10.0.0.1/cb"; }),
            "A2A push notification config url must be https or loopback http.");
  EXPECT_EQ(validate_with([](PushConfig& c) { c.token = "a\nb"; }),
            "A2A push notification config token cannot contain tabs or newlines.");
  EXPECT_EQ(validate_with([](PushConfig& c) { c.requester_agent = "a\tb"; }),
            "A2A push notification config requester agent cannot contain tabs or newlines.");
  EXPECT_EQ(validate_with([](PushConfig& c) { c.authentication = "[1]"; }),
            "A2A push notification config authentication must be an object.");
  EXPECT_EQ(validate_with([](PushConfig& c) { c.authentication = R"({"scheme":"Bearer"})"; }),
            "A2A push notification config authentication requires both scheme and credentials.");
  const std::string unsafe_scheme =
      "A2A push notification config authentication scheme is not safe for Authorization headers.";
  EXPECT_EQ(validate_with([](PushConfig& c) {
              c.authentication = R"({"scheme":"Bear er","credentials":"x"})";
            }),
            unsafe_scheme);
  PushConfig long_scheme = valid_config();
  long_scheme.authentication =
      json({{"scheme", std::string(65, 'a')}, {"credentials", "x"}}).dump();
  EXPECT_EQ(validate_push_config(long_scheme), unsafe_scheme);
  long_scheme.authentication =
      json({{"scheme", std::string(64, 'a')}, {"credentials", "x"}}).dump();
  EXPECT_EQ(validate_push_config(long_scheme), std::nullopt);
  EXPECT_EQ(validate_with([](PushConfig& c) {
              c.authentication = R"({"scheme":"Basic","credentials":"a\u0001b"})";
            }),
            "A2A push notification config authentication credentials are not safe for "
            "Authorization headers.");
}

TEST(PushConfigRequest, ReadsBodySendAndOlderSchemeLists) {
  const Principal caller = client_principal("client-a", {"task.push"});
  PushConfig config = parse_push_config_request(
      R"({"task_id":"t-body","url":"https://x.example/cb","token":"tok",
          "authentication":{"scheme":"Bearer","credentials":"c"}})",
      "t-path", caller);
  EXPECT_EQ(config.task_id, "t-body");
  EXPECT_EQ(config.id.size(), 32u);  // a fresh id
  EXPECT_EQ(config.token, "tok");
  EXPECT_EQ(read_push_authentication(config.authentication).credentials, "c");
  EXPECT_EQ(config.requester_client_id, "client-a");
  EXPECT_EQ(config.requester_node, "local");
  EXPECT_EQ(parse_push_config_request("not json", "t-path", Principal{}).task_id, "t-path");

  EXPECT_FALSE(push_config_from_send(R"({"taskPushNotificationConfig":{}})", "t", caller));
  EXPECT_FALSE(push_config_from_send(R"({"historyLength":1})", "t", caller));
  const std::optional<PushConfig> inline_config = push_config_from_send(
      R"({"pushNotificationConfig":{"taskId":"other","id":"c9","url":"https://x.example/",
          "authentication":{"schemes":["Bearer"],"credentials":"s3"}}})",
      "t-send", caller);
  ASSERT_TRUE(inline_config);
  EXPECT_EQ(inline_config->task_id, "t-send");
  EXPECT_EQ(inline_config->id, "c9");
  const PushAuthentication auth = read_push_authentication(inline_config->authentication);
  EXPECT_EQ(auth.scheme, "Bearer");
  EXPECT_EQ(auth.credentials, "s3");
  // A configuration that is not an object is checked, and fails.
  const std::optional<PushConfig> text_config =
      push_config_from_send(R"({"pushNotificationConfig":"https://x"})", "t", caller);
  ASSERT_TRUE(text_config);
  EXPECT_EQ(validate_push_config(*text_config), "A2A push notification config requires url.");
}

TEST(PushConfigVisibility, OwnerClientOrAgentAndNode) {
  PushConfig config = valid_config();
  EXPECT_TRUE(is_push_config_visible(config, Principal{}));
  EXPECT_TRUE(is_push_config_visible(config, client_principal("client-a", {"task.push"})));
  EXPECT_FALSE(is_push_config_visible(config, client_principal("client-b", {"task.push"})));
  EXPECT_TRUE(is_push_config_visible(config, client_principal("client-b", {"task.admin"})));
  config.requester_client_id.clear();
  config.requester_agent = "alice";
  Principal alice = client_principal("client-b", {"task.push"});
  alice.sender_agent = "alice";
  EXPECT_TRUE(is_push_config_visible(config, alice));
  alice.sender_node = "node-2";
  EXPECT_FALSE(is_push_config_visible(config, alice));
}

class PushConfigStoreTest : public ::testing::Test {
 protected:
  std::filesystem::path log() const { return env_.state_dir() / "a2a" / "configs.jsonl"; }
  test::TempEnv env_;
};

TEST_F(PushConfigStoreTest, StoredLineHoldsOnlyProtectedSecretsAndReadsBackPlain) {
  PushConfig config = valid_config();
  config.token = "plain-token-value";
  config.authentication = R"({"scheme":"Bearer","credentials":"plain-credential"})";
  append_push_config(log(), config);

  const std::string text = read_file(log());
  EXPECT_EQ(text.find("plain-token-value"), std::string::npos);
  EXPECT_EQ(text.find("plain-credential"), std::string::npos);
  EXPECT_EQ(text.find("hooks.example.com"), std::string::npos);
  const json stored = json::parse(text);
  std::vector<std::string> keys;
  const nlohmann::ordered_json ordered = nlohmann::ordered_json::parse(text);
  for (const auto& item : ordered.items())
    keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"taskId", "id", "url", "protectedToken",
                                            "authentication", "deleted", "metadata"}));
  EXPECT_TRUE(stored["protectedToken"].get<std::string>().starts_with("dpapi-user-v1:"));
  EXPECT_TRUE(stored["url"].get<std::string>().starts_with("dpapi-user-v1:"));
  EXPECT_EQ(stored["authentication"]["protectedBy"], "dpapi-user-v1");
  EXPECT_EQ(stored["metadata"]["tessikRequesterNode"], "local");

  const std::vector<PushConfig> read = read_task_push_configs(log(), "task-1");
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read[0], config);
  EXPECT_EQ(push_config_to_json(read[0], false),
            R"({"taskId":"task-1","id":"cfg-1","url":"https://hooks.example.com/a2a?key=q",)"
            R"("token":"plain-token-value",)"
            R"("authentication":{"scheme":"Bearer","credentials":"plain-credential"}})");
}

TEST_F(PushConfigStoreTest, SecretsAreBoundToTheirConfiguration) {
  PushConfig config = valid_config();
  config.token = "bound";
  append_push_config(log(), config);
  // Protected values copied to another configuration do not open: the token reads as absent
  // and a record whose URL does not open is no configuration at all.
  json moved = json::parse(read_file(log()));
  moved["id"] = "cfg-2";
  json token_only = moved;
  token_only["id"] = "cfg-3";
  token_only["url"] = "https://hooks.example.com/plain";
  std::ofstream(log(), std::ios::app) << moved.dump() << "\n" << token_only.dump() << "\n";
  EXPECT_FALSE(find_push_config(log(), "task-1", "cfg-2"));
  const std::optional<PushConfig> plain_url = find_push_config(log(), "task-1", "cfg-3");
  ASSERT_TRUE(plain_url);
  EXPECT_EQ(plain_url->token, "");
  EXPECT_EQ(plain_url->url, "https://hooks.example.com/plain");
  EXPECT_EQ(find_push_config(log(), "task-1", "cfg-1")->token, "bound");
}

TEST_F(PushConfigStoreTest, LatestRecordWinsGarbageIsSkippedAndDeleteHides) {
  PushConfig first = valid_config();
  PushConfig second = valid_config();
  second.id = "cfg-2";
  PushConfig other_task = valid_config();
  other_task.task_id = "task-2";
  append_push_config(log(), first);
  {
    std::ofstream out(log(), std::ios::app);
    out << "garbage\n{\"taskId\":\"task-1\",\"id\":\"no-url\"}\n[1,2]\n\n";
  }
  append_push_config(log(), second);
  append_push_config(log(), other_task);
  first.url = "https://hooks.example.com/replaced";
  append_push_config(log(), first);
  // A writer killed mid-line leaves a cut record; the next append starts a fresh line.
  { std::ofstream(log(), std::ios::app) << R"({"taskId":"task-1","id":"cut","url":"https://)"; }
  PushConfig third = valid_config();
  third.id = "cfg-3";
  append_push_config(log(), third);

  std::vector<PushConfig> live = read_task_push_configs(log(), "task-1");
  ASSERT_EQ(live.size(), 3u);
  EXPECT_EQ(live[0].id, "cfg-2");  // ordered by each id's latest record
  EXPECT_EQ(live[1].url, "https://hooks.example.com/replaced");
  EXPECT_EQ(live[2].id, "cfg-3");
  EXPECT_EQ(read_task_push_configs(log(), "").size(), 4u);

  EXPECT_TRUE(delete_push_config(log(), "task-1", "cfg-2"));
  EXPECT_FALSE(delete_push_config(log(), "task-1", "cfg-2"));
  EXPECT_FALSE(find_push_config(log(), "task-1", "cfg-2"));
  EXPECT_EQ(read_task_push_configs(log(), "task-1").size(), 2u);
  // Re-creating the id brings it back as a new live record.
  append_push_config(log(), second);
  EXPECT_TRUE(find_push_config(log(), "task-1", "cfg-2"));
}

TEST_F(PushConfigStoreTest, UnwritableLogAndDeletedFlagForms) {
  std::filesystem::create_directories(log());  // a directory where the file should be
  EXPECT_THROW(append_push_config(log(), valid_config()), PushConfigStoreError);
  std::filesystem::remove(log());
  for (const char* flag : {"true", "\"1\"", "1", "\"true\""}) {
    std::ofstream(log()) << R"({"taskId":"t","id":"c","url":"https://x.example/","deleted":)"
                         << flag << "}\n";
    EXPECT_TRUE(read_task_push_configs(log(), "t").empty()) << flag;
  }
  std::ofstream(log()) << R"({"taskId":"t","id":"c","url":"https://x.example/","deleted":"no"})"
                       << "\n";
  EXPECT_EQ(read_task_push_configs(log(), "t").size(), 1u);
}

}  // namespace
}  // namespace tessik
