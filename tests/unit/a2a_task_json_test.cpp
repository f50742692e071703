// Task documents for 1.0 and 0.3, stored-line reading, the artifact slug and the pushed
// update documents.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "a2a/tasks/task_json.h"
#include "a2a/tasks/task_push_payloads.h"
#include "support/task_fixtures.h"

namespace tessik {
namespace {

using nlohmann::json;

TaskRecord replied_task() {
  TaskRecord task = test::stored_task("t-1", "client-a", "2026-01-02T03:04:05Z");
  task.reply_body = "the answer";
  task.reply_message_id = "Reply/ID: 7";
  task.reply_sender_agent = "bob";
  return task;
}

// True when the text is compact and every object lists its keys in ascending byte order:
// nlohmann re-serialises a parsed value exactly so.
bool keys_sorted(const std::string& text) {
  return json::parse(text).dump() == text;
}

TEST(TaskJsonTest, FullDocumentIn10KeepsStoredNamesAndSortsKeys) {
  const std::string text = task_to_json_v1(replied_task());
  EXPECT_TRUE(keys_sorted(text)) << text;
  EXPECT_EQ(text, task_to_json(replied_task(), " 1.0 "));
  const json doc = json::parse(text);
  EXPECT_EQ(doc["status"]["state"], "TASK_STATE_WORKING");
  EXPECT_EQ(doc["status"]["timestamp"], "2026-01-02T03:04:05Z");
  EXPECT_EQ(doc["status"]["message"]["role"], "ROLE_AGENT");
  EXPECT_EQ(doc["status"]["message"]["messageId"], "Reply/ID: 7");
  EXPECT_FALSE(doc.contains("kind"));
  ASSERT_EQ(doc["history"].size(), 2u);
  EXPECT_EQ(doc["history"][0]["role"], "ROLE_USER");
  EXPECT_EQ(doc["history"][1]["parts"][0], json({{"text", "the answer"}}));
  ASSERT_EQ(doc["artifacts"].size(), 1u);
  EXPECT_EQ(doc["artifacts"][0]["artifactId"], "reply-reply-id-7");
  EXPECT_EQ(doc["artifacts"][0]["name"], "Provider reply");
  EXPECT_EQ(doc["metadata"]["tessikReplySenderNode"], "local");
  EXPECT_EQ(doc["metadata"]["tessikReplyBody"], "the answer");
  EXPECT_EQ(doc["metadata"]["tessikEvents"][0]["code"], "accepted_by_tessik");
}

TEST(TaskJsonTest, Version03UsesLowerCaseStatesRolesAndKinds) {
  TaskRecord task = replied_task();
  task.state = kTaskStateInputRequired;
  const std::string text = task_to_json(task, "0.3");
  EXPECT_TRUE(keys_sorted(text)) << text;
  const json doc = json::parse(text);
  EXPECT_EQ(doc["kind"], "task");
  EXPECT_EQ(doc["status"]["state"], "input-required");
  EXPECT_EQ(doc["status"]["message"]["role"], "agent");
  EXPECT_EQ(doc["status"]["message"]["kind"], "message");
  EXPECT_EQ(doc["history"][0]["role"], "user");
  EXPECT_EQ(doc["history"][0]["kind"], "message");
  EXPECT_EQ(doc["history"][0]["parts"][0], json({{"kind", "text"}, {"text", "hi"}}));
  EXPECT_EQ(doc["history"][1]["role"], "agent");
  EXPECT_EQ(doc["artifacts"][0]["parts"][0]["kind"], "text");
  // Stored state names stay 1.0 in metadata events.
  EXPECT_EQ(doc["metadata"]["tessikEvents"][0]["state"], "TASK_STATE_WORKING");
}

TEST(TaskJsonTest, TaskWithoutReplyHasNoReplyMembers) {
  TaskRecord task = test::stored_task("t-2", "c", "");
  task.events.clear();
  task.error_code = "TESSIK_DELIVERY_FAILED";
  task.error_message = "down";
  const json doc = json::parse(task_to_json_v1(task));
  EXPECT_FALSE(doc.contains("artifacts"));
  EXPECT_FALSE(doc["status"].contains("message"));
  EXPECT_FALSE(doc["status"].contains("timestamp"));
  EXPECT_FALSE(doc["metadata"].contains("tessikReplyBody"));
  EXPECT_FALSE(doc["metadata"].contains("tessikReplyMessageId"));
  EXPECT_EQ(doc["metadata"]["tessikErrorCode"], "TESSIK_DELIVERY_FAILED");
  EXPECT_EQ(doc["history"].size(), 1u);
}

TEST(TaskJsonTest, StoredLineReadsBackToTheSameDocument) {
  TaskRecord task = replied_task();
  task.operation = "create";
  task.created_agent_id = "agent-9";
  task.created_agent_card_url = "http://card";
  const std::string line = task_to_json_v1(task);
  const std::optional<TaskRecord> parsed = parse_task_record(line);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->events, task.events);
  EXPECT_EQ(parsed->created_agent_card_url, "http://card");
  // The reply stored in history is not added a second time.
  EXPECT_EQ(task_to_json_v1(*parsed), line);
  EXPECT_EQ(json::parse(task_to_json_v1(*parsed))["history"].size(), 2u);
}

TEST(TaskJsonTest, ParseAppliesDefaultsAndRefusesLinesWithoutId) {
  const auto task = parse_task_record(
      R"({"id":"x","status":{"state":"TASK_STATE_WORKING"},"metadata":{"tessikOperation":5}})");
  ASSERT_TRUE(task.has_value());
  EXPECT_EQ(task->context_id, "x");
  EXPECT_EQ(task->requester_node, "local");
  EXPECT_EQ(task->reply_sender_node, "local");
  EXPECT_EQ(task->operation, "5");  // non-text values read as their JSON text
  for (const char* line : {"{}", R"({"id":"  "})", "not json", R"({"id":"x")", "[1]", ""}) {
    EXPECT_FALSE(parse_task_record(line).has_value()) << line;
  }
}

TEST(TaskJsonTest, MessageObjectsHaveFixedKeyOrderAndEscaping) {
  EXPECT_EQ(build_message_json("m", "c", "t", "ROLE_AGENT", "a\tb\x01", false),
            "{\"messageId\":\"m\",\"contextId\":\"c\",\"taskId\":\"t\",\"role\":\"ROLE_AGENT\","
            "\"parts\":[{\"text\":\"a\\tb\\u0001\"}]}");
  EXPECT_EQ(build_message_json("m", "c", "t", "ROLE_USER", "x", true),
            "{\"messageId\":\"m\",\"contextId\":\"c\",\"taskId\":\"t\",\"role\":\"user\","
            "\"parts\":[{\"kind\":\"text\",\"text\":\"x\"}],\"kind\":\"message\"}");
  // Invalid UTF-8 is repaired, so the text still parses.
  const json repaired =
      json::parse(build_message_json("m", "c", "t", "ROLE_USER", "\xff", false), nullptr, false);
  ASSERT_FALSE(repaired.is_discarded());
  EXPECT_EQ(repaired["parts"][0]["text"], "\xEF\xBF\xBD");
}

TEST(TaskJsonTest, ArtifactSlug) {
  EXPECT_EQ(task_artifact_slug("  Msg/One:Two\\Three Four "), "msg-one-two-three-four");
  EXPECT_EQ(task_artifact_slug("a -- /b"), "a-b");
  EXPECT_EQ(task_artifact_slug("keep_._-this"), "keep_._-this");
  EXPECT_EQ(task_artifact_slug("trail//"), "trail");
  EXPECT_EQ(task_artifact_slug("é!?"), "unknown");
  EXPECT_EQ(task_artifact_slug(""), "unknown");
}

TEST(TaskJsonTest, PushPayloadsInOrderWithFixedKeys) {
  TaskRecord task = replied_task();
  const std::vector<std::string> payloads = build_task_push_payloads(task);
  ASSERT_EQ(payloads.size(), 3u);
  EXPECT_EQ(payloads[0], "{\"task\":" + task_to_json_v1(task) + "}");
  EXPECT_EQ(payloads[1].rfind("{\"statusUpdate\":{\"kind\":\"status-update\",\"taskId\":\"t-1\","
                              "\"contextId\":\"ctx-t-1\",\"status\":{\"state\":"
                              "\"TASK_STATE_WORKING\",\"timestamp\":\"2026-01-02T03:04:05Z\","
                              "\"message\":{\"role\":\"ROLE_AGENT\",\"parts\":[{\"text\":"
                              "\"the answer\"}]}},\"final\":false,\"metadata\":{",
                              0),
            0u)
      << payloads[1];
  const json status = json::parse(payloads[1]);
  EXPECT_EQ(status["statusUpdate"]["metadata"]["tessikReplySenderNode"], "local");
  EXPECT_FALSE(status["statusUpdate"]["metadata"].contains("tessikErrorCode"));
  const json artifact = json::parse(payloads[2]);
  EXPECT_EQ(artifact["artifactUpdate"]["artifact"]["artifactId"], "reply-reply-id-7");
  EXPECT_EQ(artifact["artifactUpdate"]["append"], false);
  EXPECT_EQ(artifact["artifactUpdate"]["lastChunk"], true);
  EXPECT_NE(payloads[2].find("\"lastChunk\":true,\"metadata\":{\"tessikTargetAgent\""),
            std::string::npos);
}

TEST(TaskJsonTest, StatusUpdateTextFallsBackToErrorThenLastEvent) {
  TaskRecord failed = test::stored_task("t-3", "c", "2026-01-01T00:00:00Z", kTaskStateFailed);
  failed.error_message = "delivery failed";
  std::vector<std::string> payloads = build_task_push_payloads(failed);
  ASSERT_EQ(payloads.size(), 2u);  // no reply, no artifact update
  json status = json::parse(payloads[1])["statusUpdate"];
  EXPECT_EQ(status["final"], true);
  EXPECT_EQ(status["status"]["message"]["parts"][0]["text"], "delivery failed");

  failed.error_message.clear();
  status = json::parse(build_task_push_payloads(failed)[1])["statusUpdate"];
  EXPECT_EQ(status["status"]["message"]["parts"][0]["text"], "tessik_receipt_only");

  failed.events.clear();
  failed.timestamp.clear();
  status = json::parse(build_task_push_payloads(failed)[1])["statusUpdate"];
  EXPECT_FALSE(status["status"].contains("message"));
  EXPECT_FALSE(status["status"].contains("timestamp"));
}

}  // namespace
}  // namespace tessik
