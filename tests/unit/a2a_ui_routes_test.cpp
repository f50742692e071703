// The dashboard's read-only routes behind the gateway: authentication, the "task.read" scope,
// and the shapes of the mailbox, delivery and dead-letter listings.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "a2a/gateway/ui_routes.h"
#include "providers/mailbox/mailbox_store.h"
#include "state/state_dir.h"
#include "support/gateway_fixture.h"
#include "support/task_fixtures.h"

namespace tessik {
namespace {

using nlohmann::json;

constexpr const char* kRoutes[] = {"/ui/api/mailbox", "/ui/api/deliveries",
                                   "/ui/api/push-dead-letters"};

class UiRoutes : public ::testing::Test {
 protected:
  json get_json(const std::string& target) {
    const GatewayResponse response = f_.call(f_.authorized("GET", target));
    EXPECT_EQ(response.status, 200) << target << " " << response.body;
    EXPECT_EQ(response.headers.at("Cache-Control"), "no-store") << target;
    return json::parse(response.body);
  }

  void store_mail(const std::string& id, const std::string& received_at, const std::string& body) {
    MailboxMessage message;
    message.message_id = id;
    message.received_at = received_at;
    message.target_display_name = "Tessik Mailbox";
    message.sender_name = "<b>sender</b>";
    message.final_visible_body = body;
    message.body_bytes = body.size();
    ASSERT_TRUE(write_mailbox_message(mailbox_messages_directory(), message).ok);
  }

  test::GatewayFixture f_;
};

TEST_F(UiRoutes, NeedTheTokenAndTheTaskReadScope) {
  for (const char* route : kRoutes) {
    EXPECT_EQ(f_.call(f_.request("GET", route)).status, 401) << route;
    EXPECT_EQ(f_.call(f_.request("GET", route, {{"Authorization", "Bearer wrong"}})).status, 401)
        << route;
    EXPECT_EQ(f_.call(f_.authorized("GET", std::string("/a2a") + route)).status, 200) << route;
  }
  f_.context.principal.scopes = {"agent.read", "agent.send", "task.cancel"};
  for (const char* route : kRoutes) {
    const GatewayResponse response = f_.call(f_.authorized("GET", route));
    EXPECT_EQ(response.status, 403) << route;
    EXPECT_EQ(json::parse(response.body)["error"]["message"],
              "A2A token is not allowed to read tasks.");
  }
  f_.context.principal.scopes = {"task.read"};
  for (const char* route : kRoutes)
    EXPECT_EQ(f_.call(f_.authorized("GET", route)).status, 200) << route;
}

TEST_F(UiRoutes, OnlyGetOfKnownRoutes) {
  EXPECT_EQ(f_.call(f_.authorized("POST", "/ui/api/mailbox", {{"Content-Type", "application/json"}},
                                  "{}"))
                .status,
            404);
  EXPECT_EQ(f_.call(f_.authorized("GET", "/ui/api/tasks")).status, 404);
  EXPECT_EQ(f_.call(f_.authorized("GET", "/ui/api/")).status, 404);
}

TEST_F(UiRoutes, MailboxNewestFirstWithTheSendersTextBounded) {
  store_mail("m-old", "2026-12-01T10:00:00Z", "<script>alert(1)</script> first");
  // A body past the preview length, cut inside a two-byte character.
  std::string long_body(kUiApiBodyPreviewBytes - 1, 'x');
  long_body += "\xC3\xA9 tail";
  store_mail("m-new", "2026-12-02T10:00:00Z", long_body);
  test::write_file(mailbox_messages_directory() / "0000-broken.json", "{not json");

  json listing = get_json("/ui/api/mailbox");
  EXPECT_EQ(listing["total"], 3);
  EXPECT_FALSE(listing["truncated"]);
  const json& messages = listing["messages"];
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0]["messageId"], "m-new");
  EXPECT_EQ(messages[0]["bodyTruncated"], true);
  EXPECT_EQ(messages[0]["body"], std::string(kUiApiBodyPreviewBytes - 1, 'x'));
  EXPECT_EQ(messages[1]["messageId"], "m-old");
  EXPECT_EQ(messages[1]["body"], "<script>alert(1)</script> first");
  EXPECT_EQ(messages[1]["senderName"], "<b>sender</b>");
  EXPECT_EQ(messages[1]["receivedAt"], "2026-12-01T10:00:00Z");
  EXPECT_EQ(messages[1]["bodyTruncated"], false);
  EXPECT_EQ(messages[2]["failed"], true);
  EXPECT_FALSE(messages[2]["error"].get<std::string>().empty());

  listing = get_json("/ui/api/mailbox?limit=1");
  ASSERT_EQ(listing["messages"].size(), 1u);
  EXPECT_EQ(listing["messages"][0]["messageId"], "m-new");
  EXPECT_EQ(listing["total"], 3);
  EXPECT_TRUE(listing["truncated"]);
  // A limit that is not a positive number falls back to the default.
  EXPECT_EQ(get_json("/ui/api/mailbox?limit=-4")["messages"].size(), 3u);
}

TEST_F(UiRoutes, DeliveryLogNewestFirstWithUnreadableLinesMarked) {
  EXPECT_EQ(get_json("/ui/api/deliveries")["recorded"], false);
  std::string log;
  for (int i = 0; i < 5; ++i)
    log += "{\"event_type\":\"delivery_stage\",\"message_id\":\"m-" + std::to_string(i) + "\"}\n";
  log += "not json at all\n";
  log += std::string(100, '[') + "\n";  // deeper than any record may nest
  test::write_file(delivery_log_path(), log);

  json listing = get_json("/ui/api/deliveries");
  EXPECT_EQ(listing["recorded"], true);
  const json& entries = listing["entries"];
  ASSERT_EQ(entries.size(), 7u);
  EXPECT_EQ(entries[0]["unreadable"], true);
  EXPECT_EQ(entries[1]["unreadable"], true);
  EXPECT_EQ(entries[1]["line"], "not json at all");
  EXPECT_EQ(entries[2]["message_id"], "m-4");
  EXPECT_EQ(entries[6]["message_id"], "m-0");

  listing = get_json("/ui/api/deliveries?limit=3");
  EXPECT_EQ(listing["entries"].size(), 3u);
  EXPECT_EQ(listing["entries"][2]["message_id"], "m-4");
  EXPECT_TRUE(listing["truncated"]);
}

// Listings are answered again from memory while the log is unchanged: every change of the
// file must still show, whatever its size.
TEST_F(UiRoutes, DeliveryListingFollowsEveryChangeOfTheLog) {
  const auto record = [](const std::string& id) {
    return "{\"event_type\":\"delivery_stage\",\"message_id\":\"" + id + "\"}\n";
  };
  const auto newest = [&](const std::string& target) {
    const json listing = get_json(target);
    return listing["entries"].empty() ? std::string()
                                      : listing["entries"][0]["message_id"].get<std::string>();
  };
  test::write_file(delivery_log_path(), record("m-1") + record("m-2"));
  EXPECT_EQ(newest("/ui/api/deliveries"), "m-2");
  EXPECT_EQ(newest("/ui/api/deliveries"), "m-2");

  std::ofstream(delivery_log_path(), std::ios::app) << record("m-3");
  EXPECT_EQ(newest("/ui/api/deliveries"), "m-3");
  EXPECT_EQ(get_json("/ui/api/deliveries?limit=2")["entries"].size(), 2u);
  EXPECT_EQ(get_json("/ui/api/deliveries")["entries"].size(), 3u);

  // Another file of the same size moved over the log.
  const std::filesystem::path staged = f_.env.root() / "rotated.jsonl";
  test::write_file(staged, record("m-7") + record("m-8") + record("m-9"));
  std::filesystem::rename(staged, delivery_log_path());
  EXPECT_EQ(newest("/ui/api/deliveries"), "m-9");

  std::filesystem::remove(delivery_log_path());
  EXPECT_EQ(get_json("/ui/api/deliveries")["recorded"], false);
}

TEST_F(UiRoutes, AnswersStayWithinTheirBudgetWhateverTheLogHolds) {
  // Control bytes grow sixfold when they are escaped again: 300 such lines would make an
  // answer of about 7 MiB, close to what the broker can carry.
  std::string log;
  for (int i = 0; i < 300; ++i)
    log += std::string(kUiApiBodyPreviewBytes, '\x01') + "\n";
  test::write_file(delivery_log_path(), log);
  const GatewayResponse response = f_.call(f_.authorized("GET", "/ui/api/deliveries?limit=500"));
  ASSERT_EQ(response.status, 200);
  EXPECT_LE(response.body.size(), kUiApiMaxAnswerBytes + 1024);
  const json listing = json::parse(response.body);
  EXPECT_TRUE(listing["truncated"]);
  EXPECT_GT(listing["entries"].size(), 100u);
  EXPECT_LT(listing["entries"].size(), 300u);
  EXPECT_EQ(listing["entries"][0]["line"], std::string(kUiApiBodyPreviewBytes, '\x01'));
}

TEST_F(UiRoutes, DeadLettersSayWhetherPushDeliveriesAreRecorded) {
  const std::filesystem::path path = f_.env.state_dir() / "a2a" / "push-dead-letter.jsonl";
  f_.context.push_dead_letter_path = path;
  json listing = get_json("/ui/api/push-dead-letters");
  EXPECT_EQ(listing["recorded"], false);
  EXPECT_TRUE(listing["entries"].empty());

  test::write_file(
      path,
      "{\"createdAt\":\"2026-12-07T01:00:00Z\",\"taskId\":\"t-1\",\"outcome\":"
      "\"dead_letter\",\"error\":\"push notification config is missing or deleted\"}\n");
  listing = get_json("/ui/api/push-dead-letters");
  EXPECT_EQ(listing["recorded"], true);
  ASSERT_EQ(listing["entries"].size(), 1u);
  EXPECT_EQ(listing["entries"][0]["taskId"], "t-1");
  EXPECT_EQ(listing["entries"][0]["outcome"], "dead_letter");
}

}  // namespace
}  // namespace tessik
