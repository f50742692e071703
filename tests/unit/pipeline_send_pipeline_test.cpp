// The send pipeline in process: refusals told three ways, the receipt and its records, the
// hand-off it builds, relayed bodies, sender repair and the live upstream outbox.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "pipeline/send_pipeline.h"
#include "state/state_dir.h"
#include "support/build_paths.h"
#include "support/delivery_env.h"
#include "support/jsonl_reader.h"
#include "support/registry_rows.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string kFakeWorker = std::string(TESSIK_HELPER_DIR) + "/fake_delivery_worker";

class SendPipelineTest : public ::testing::Test {
 protected:
  test::TempEnv env;
  fs::path tmp = test::use_delivery_executable(env, kFakeWorker);
  fs::path record = env.root() / "record.txt";
  PipelineContext context = default_pipeline_context();

  void SetUp() override { env.set("FAKE_WORKER_RECORD", record.string()); }

  SendOutcome send(const std::string& target, const std::string& from, const std::string& body) {
    SendRequest request;
    request.target = target;
    request.from = from;
    request.body = body;
    request.source_context = "cli";
    return send_message(context, request);
  }
  std::vector<json> events(const std::string& type) {
    return test::read_events(events_log_path(), type);
  }
  std::vector<std::string> stages() {
    return test::stage_names(delivery_log_path(), "message_pipeline");
  }
  // The request file the fake worker received, parsed.
  json handed_off_request() {
    EXPECT_TRUE(test::wait_until([&] { return fs::exists(record); }));
    const std::string text = test::read_file(record);
    return json::parse(text.substr(text.find("request=") + 8));
  }

  // Checks that one refusal carries `error` in the outcome, the event and the stage record.
  void expect_refused(const SendOutcome& outcome, const std::string& error,
                      const std::string& stage) {
    EXPECT_FALSE(outcome.accepted);
    EXPECT_EQ(outcome.status, "failed");
    EXPECT_EQ(outcome.error, error);
    const auto rejected = events("send_rejected");
    ASSERT_EQ(rejected.size(), 1u);
    EXPECT_EQ(rejected[0]["reason"], error);
    EXPECT_EQ(rejected[0]["message_id"], outcome.message_id);
    const auto records = test::stage_records(delivery_log_path(), stage);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back()["result"], "error");
    EXPECT_EQ(records.back()["detail"], error);
    EXPECT_EQ(stages().front(), "accepted");
    EXPECT_TRUE(events("message_accepted_by_tessik").empty());
  }
};

TEST_F(SendPipelineTest, BlankTargetIsRefusedBeforeTheBodyIsLookedAt) {
  const SendOutcome outcome = send("   ", "alice", "");
  expect_refused(outcome, "target is required", "target_resolved");
  const json event = events("send_rejected")[0];
  EXPECT_EQ(event.size(), 4u);  // event_type, created_at, message_id, reason
  EXPECT_EQ(outcome.message_id.size(), 32u);
  EXPECT_EQ(outcome.target, "   ");
}

TEST_F(SendPipelineTest, EmptyBodyIsRefused) {
  const SendOutcome outcome = send("mailbox", "alice", " \n\t ");
  expect_refused(outcome, "message body is empty", "target_resolved");
  EXPECT_EQ(events("send_rejected")[0]["target"], "mailbox");
}

TEST_F(SendPipelineTest, MissingSenderIsRefusedWithoutResolvingTheTarget) {
  const SendOutcome outcome = send("somebody-unknown", "", "hi");
  expect_refused(outcome,
                 "send requires explicit --from sender identity: explicit sender was empty",
                 "target_resolved");
  EXPECT_TRUE(events("registry_target_miss").empty());
  EXPECT_EQ(stages(), (std::vector<std::string>{"accepted", "target_resolved"}));
}

TEST_F(SendPipelineTest, UnknownTargetIsRefusedWithTheDiscoverySummary) {
  const SendOutcome outcome = send("nobody", "alice", "hi");
  expect_refused(outcome,
                 "target is not in registry after targeted discovery. No remote Tessik nodes are "
                 "registered. targeted discovery searched providers for exact target; "
                 "rows_found=0; enrolled=0; updated=0; skipped=0; evidence_only_matches=0; "
                 "issues=No remote Tessik nodes are registered.",
                 "target_resolved");
  EXPECT_EQ(events("registry_target_miss").size(), 1u);
  EXPECT_EQ(events("send_rejected")[0]["sender_agent"], "alice");
}

TEST_F(SendPipelineTest, AmbiguousNameIsRefusedAsAmbiguous) {
  test::write_registry(agents_registry_path(),
                       {test::ready_row("a1", "Helper", "claude_code_cli", "s-1"),
                        test::ready_row("a2", "helper agent", "claude_code_cli", "s-2")});
  const SendOutcome outcome = send("HELPER", "alice", "hi");
  EXPECT_TRUE(outcome.error.starts_with(
      "target name is ambiguous; use an exact provider session id. targeted discovery"))
      << outcome.error;
  EXPECT_NE(outcome.error.find("; issues=Target name is ambiguous. | Use one exact provider "
                               "session id: s-1, s-2"),
            std::string::npos)
      << outcome.error;
}

TEST_F(SendPipelineTest, KnownButNotSendableTargetsAreRefusedWithTheRowsError) {
  AgentRecord quiet = test::ready_row("a1", "Quiet", "claude_code_cli", "s-1");
  quiet.sendable = false;
  AgentRecord broken = test::ready_row("a2", "Broken", "claude_code_cli", "s-2");
  broken.sendable = false;
  broken.last_error = "session closed";
  test::write_registry(agents_registry_path(), {quiet, broken});
  expect_refused(send("Quiet", "alice", "hi"), "target is known but not sendable",
                 "route_resolved");
  EXPECT_EQ(send("a2", "alice", "hi").error, "target is known but not sendable: session closed");
}

TEST_F(SendPipelineTest, AcceptedSendRecordsTheReceiptAndHandsOffTheEnvelope) {
  SendRequest request;
  request.target = "mailbox";
  request.from = "alice";
  request.body = "\nhello\n";
  request.test_id = "  run-42 ";
  request.requested_delivery_method = "spool";
  request.strict = true;
  request.source_context = "cli";
  const SendOutcome outcome = send_message(context, request);
  EXPECT_TRUE(outcome.accepted);
  EXPECT_FALSE(outcome.accepted_by_provider);
  EXPECT_EQ(outcome.status, "accepted_by_tessik");
  EXPECT_EQ(outcome.target, "Tessik Mailbox");
  EXPECT_EQ(outcome.provider, "tessik_mailbox");
  EXPECT_EQ(outcome.detail, "tessik_receipt_only");
  EXPECT_EQ(outcome.error, "");
  EXPECT_EQ(stages(), (std::vector<std::string>{
                          "accepted", "target_resolved", "normalization_contract_validated",
                          "route_resolved", "delivery_worker_handoff_started"}));
  for (const json& r : test::read_events(delivery_log_path(), "delivery_stage")) {
    EXPECT_EQ(r["test_id"], "run-42");
    EXPECT_EQ(r["message_id"], outcome.message_id);
  }
  const json receipt = events("message_accepted_by_tessik").at(0);
  EXPECT_EQ(receipt["delivery_receipt"], "tessik_only");
  EXPECT_EQ(receipt["sender_resolved"], "true");

  const std::string body =
      "Message from unresolved Tessik sender:\n\n\nhello\n\n\nTESSIK WARNING: Tessik could not "
      "resolve an exact sender session address, so no send-back command is attached.";
  const json started = events("delivery_handoff_started").at(0);
  EXPECT_EQ(started["state"], "accepted_by_tessik");
  EXPECT_EQ(started["requested_delivery_method"], "spool");
  EXPECT_EQ(started["method_used"], "delivery_worker_background_handoff");
  EXPECT_EQ(started["body_policy"], "unresolved_sender_envelope");
  EXPECT_EQ(started["original_body_bytes"], "7");
  EXPECT_EQ(started["final_visible_body_bytes"], std::to_string(body.size()));

  const json handed = handed_off_request();
  EXPECT_EQ(handed["mode"], "deliver");
  EXPECT_EQ(handed["test_id"], "run-42");
  EXPECT_EQ(handed["message_id"], outcome.message_id);
  EXPECT_EQ(handed["target_provider_session_id"], "tessik_mailbox:default");
  EXPECT_EQ(handed["final_visible_body"], body);
  EXPECT_EQ(handed["strict"], "true");
  EXPECT_EQ(handed["callback_expected"], "false");
  EXPECT_EQ(handed["requested_delivery_method"], "spool");
}

TEST_F(SendPipelineTest, RegisteredSenderGetsTheSendBackCommand) {
  test::write_registry(agents_registry_path(),
                       {test::ready_row("a1", "Reviewer", "claude_code_cli", "rev-session")});
  const SendOutcome outcome = send("mailbox", "Reviewer", "please check");
  ASSERT_TRUE(outcome.accepted) << outcome.error;
  const json handed = handed_off_request();
  EXPECT_EQ(handed["callback_expected"], "true");
  EXPECT_EQ(handed["sender_reply_address"], "rev-session");
  const std::string body = handed["final_visible_body"];
  EXPECT_TRUE(body.starts_with("Message from Reviewer\n\nplease check\n\n")) << body;
  EXPECT_NE(body.find("\"sourceContext\": \"tessik-operation:" + outcome.message_id + "\""),
            std::string::npos);
}

TEST_F(SendPipelineTest, FailedHandOffLeavesTheSendAccepted) {
  env.set("TESSIK_EXE", (env.root() / "no-such-tessik").string());
  const SendOutcome outcome = send("mailbox", "alice", "hello");
  EXPECT_TRUE(outcome.accepted);
  EXPECT_EQ(outcome.status, "accepted_by_tessik");
  EXPECT_EQ(outcome.error, "");
  const json failed = events("delivery_handoff_failed").at(0);
  EXPECT_EQ(failed["state"], "delivery_worker_handoff_failed");
  EXPECT_EQ(failed["accepted"], "false");
  EXPECT_TRUE(events("delivery_handoff_started").empty());
  const auto records = test::stage_records(delivery_log_path(), "delivery_worker_handoff_failed");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["result"], "error");
  EXPECT_EQ(records[0]["detail"], failed["error"]);
  EXPECT_TRUE(test::files_in(tmp).empty());
}

TEST_F(SendPipelineTest, RelayedFinalVisibleBodyTravelsByteForByte) {
  SendRequest request;
  request.target = "mailbox";
  request.body = "Message from x:\n\n  already wrapped \n";
  request.body_is_final_visible = true;
  request.sender_resolved = true;
  request.sender_agent = " bob ";
  const SendOutcome outcome = send_message(context, request);
  ASSERT_TRUE(outcome.accepted) << outcome.error;
  const json started = events("delivery_handoff_started").at(0);
  EXPECT_EQ(started["body_policy"], "already_final_visible");
  EXPECT_EQ(started["original_body_bytes"], std::to_string(request.body.size()));
  EXPECT_EQ(started["final_visible_body_bytes"], std::to_string(request.body.size()));
  const json handed = handed_off_request();
  EXPECT_EQ(handed["final_visible_body"], request.body);
  EXPECT_EQ(handed["sender_agent"], "bob");
  EXPECT_EQ(handed["sender_node"], "local");
  EXPECT_EQ(handed["sender_source"], "final_visible_relay");

  request.sender_resolved = false;
  request.sender_node = "far";
  const SendOutcome refused = send_message(context, request);
  EXPECT_EQ(refused.error,
            "send requires resolved sender identity for final-visible relay body: final-visible "
            "body did not include a resolved sender identity");
  EXPECT_EQ(test::stage_records(delivery_log_path(), "target_resolved").back()["node"], "far");
}

TEST_F(SendPipelineTest, DisplayFallbackSenderIsRepairedOnceThenRefused) {
  const std::string session = "0f8fad5b-d9cb-469f-a165-70867728950e";
  AgentRecord row = test::ready_row("a1", session, "claude_code_cli", session);
  test::write_registry(agents_registry_path(), {row});
  const SendOutcome outcome = send("mailbox", session, "hi");
  EXPECT_EQ(outcome.error,
            "send requires explicit --from sender identity: targeted sender discovery did not "
            "establish a visible normalized sender identity");
  EXPECT_EQ(events("registry_sender_requires_repair").size(), 1u);
  EXPECT_EQ(events("sender_discovery_after_registry_miss").size(), 1u);
  const json still = events("registry_sender_still_unresolved_after_targeted_discovery").at(0);
  EXPECT_EQ(still["sender_source"], "registry_session_id_display_fallback");
  EXPECT_EQ(still["rows_found"], "0");
  EXPECT_TRUE(events("registry_target_miss").empty());
}

TEST_F(SendPipelineTest, UnknownTargetGoesToTheLiveUpstreamOutbox) {
  const fs::path outbox = env.root() / "relay" / "deep" / "outbox.jsonl";
  SendRequest request;
  request.target = "far-away agent";
  request.from = "alice";
  request.body = "hi \"there\"";
  request.live_upstream_outbox_path = " " + outbox.string() + " ";
  const SendOutcome outcome = send_message(context, request);
  EXPECT_TRUE(outcome.accepted);
  EXPECT_TRUE(outcome.accepted_by_provider);
  EXPECT_EQ(outcome.status, "accepted_by_live_upstream_relay");
  EXPECT_EQ(outcome.provider, "live_upstream_relay");
  EXPECT_EQ(outcome.detail, "outbox=" + outbox.string());
  EXPECT_EQ(test::read_file(outbox),
            "{\"type\":\"upstream_message\",\"message_id\":\"" + outcome.message_id +
                "\",\"target\":\"far-away agent\",\"body\":\"hi \\\"there\\\"\",\"from\":\"alice\","
                "\"from_node\":\"local\"}\n");
  EXPECT_TRUE(events("send_rejected").empty());
  EXPECT_EQ(events("send_rate_limit_delay_finished").size(), 1u);
  EXPECT_EQ(events("live_upstream_message_accepted").at(0)["outbox"], outbox.string());

  // A known target never goes upstream.
  const SendOutcome local = send_message(context, [&] {
    SendRequest known = request;
    known.target = "mailbox";
    return known;
  }());
  EXPECT_EQ(local.status, "accepted_by_tessik");
  EXPECT_EQ(events("live_upstream_message_accepted").size(), 1u);
}

TEST_F(SendPipelineTest, OutboxFailureFallsBackToTheRefusal) {
  const fs::path blocker = env.root() / "blocker";
  std::ofstream(blocker) << "file, not a directory";
  SendRequest request;
  request.target = "far-away";
  request.from = "alice";
  request.body = "hi";
  request.live_upstream_outbox_path = (blocker / "outbox.jsonl").string();
  const SendOutcome outcome = send_message(context, request);
  EXPECT_FALSE(outcome.accepted);
  EXPECT_TRUE(outcome.error.starts_with("target is not in registry after targeted discovery."));
  const json failed = events("live_upstream_message_failed").at(0);
  EXPECT_TRUE(failed["reason"].get<std::string>().starts_with(
      "could not create live upstream outbox directory: "));
  EXPECT_EQ(events("send_rejected").size(), 1u);
}

}  // namespace
}  // namespace tessik
