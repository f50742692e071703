// Transport plans of remote nodes and the fallback rule that never risks a double delivery.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "providers/remote/remote_delivery.h"
#include "providers/remote/remote_plan.h"
#include "support/jsonl_reader.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

NodeRecord node(std::string transport, bool api, bool ssh) {
  NodeRecord n;
  n.node_id = "n1";
  n.transport = std::move(transport);
  if (api) n.api_url = "https://node.example/a2a";
  if (ssh) {
    n.ssh_host = "node.example";
    n.ssh_user = "me";
  }
  n.enabled = true;
  return n;
}

std::string plan_text(const NodeRecord& n) {
  const RemoteTransportPlan plan = plan_remote_transports(n);
  return plan.error.empty() ? plan.configured + ":" + plan.text() : "error:" + plan.error;
}

TEST(RemoteTransportPlan, ConfiguredNamesExpandInOrder) {
  EXPECT_EQ(plan_text(node("", true, true)), "auto:a2a_https,a2a_ssh");
  EXPECT_EQ(plan_text(node(" AUTO ", false, true)), "auto:a2a_ssh");
  EXPECT_EQ(plan_text(node("auto", true, false)), "auto:a2a_https");
  EXPECT_EQ(plan_text(node("Api", true, true)), "api:a2a_https,legacy_api");
  EXPECT_EQ(plan_text(node("ssh", false, true)), "ssh:a2a_ssh,legacy_ssh");
  for (const char* name : {"a2a", "a2a-https", "https"}) {
    EXPECT_EQ(plan_text(node(name, true, false)), std::string(name) + ":a2a_https");
  }
  EXPECT_EQ(plan_text(node("a2a-relay", true, false)), "a2a-relay:a2a_relay");
  EXPECT_EQ(plan_text(node("a2a-ssh", false, true)), "a2a-ssh:a2a_ssh");
  EXPECT_EQ(plan_text(node("legacy-api", true, false)), "legacy-api:legacy_api");
  EXPECT_EQ(plan_text(node("legacy-ssh", false, true)), "legacy-ssh:legacy_ssh");
}

TEST(RemoteTransportPlan, MissingAddressesAndUnknownNamesRefuse) {
  EXPECT_EQ(plan_text(node("", false, false)),
            "error:remote node has no usable A2A HTTPS or SSH address");
  EXPECT_EQ(plan_text(node("carrier-pigeon", true, true)),
            "error:unsupported remote transport: carrier-pigeon");
  EXPECT_EQ(plan_text(node("api", false, true)), "error:remote transport a2a_https requires api_url");
  EXPECT_EQ(plan_text(node("ssh", true, false)),
            "error:remote transport a2a_ssh requires host and ssh_user");
  NodeRecord half = node("legacy-ssh", false, true);
  half.ssh_user = "  ";
  EXPECT_EQ(plan_text(half), "error:remote transport legacy_ssh requires host and ssh_user");
}

// Runs deliver_over_plan with scripted attempts and records which transports ran.
class FallbackRule : public ::testing::Test {
 protected:
  DeliveryResult run(const NodeRecord& n, const std::map<RemoteTransport, RemoteAttempt>& script) {
    const RemoteTransportPlan plan = plan_remote_transports(n);
    EXPECT_EQ(plan.error, "");
    const RemoteCall call{{}, n, "bob"};
    return deliver_over_plan(
        call, plan,
        [&](RemoteTransport transport, const RemoteCall&) {
          ran_.emplace_back(remote_transport_name(transport));
          return script.at(transport);
        },
        EvidenceLog(env_.state_dir() / "logs" / "delivery.jsonl"));
  }
  std::vector<nlohmann::json> attempts() const {
    return test::read_jsonl(env_.state_dir() / "logs" / "delivery.jsonl");
  }

  test::TempEnv env_;
  std::vector<std::string> ran_;
};

RemoteAttempt failure(std::string error, bool safe) {
  RemoteAttempt attempt;
  attempt.result.state = "failed";
  attempt.result.error = std::move(error);
  attempt.fallback_safe = safe;
  return attempt;
}

RemoteAttempt success(std::string method) {
  RemoteAttempt attempt;
  attempt.result.state = "accepted_by_remote";
  attempt.result.accepted = true;
  attempt.result.method = std::move(method);
  attempt.result.evidence = "remote_task_id=t1";
  return attempt;
}

TEST_F(FallbackRule, SafeFailureOfAnApiNodeFallsBackToTheLegacyApi) {
  const DeliveryResult result =
      run(node("api", true, false), {{RemoteTransport::a2a_https, failure("card 404", true)},
                                     {RemoteTransport::legacy_api, success("legacy_api_v1_messages")}});
  EXPECT_EQ(ran_, (std::vector<std::string>{"a2a_https", "legacy_api"}));
  EXPECT_TRUE(result.accepted);
  EXPECT_EQ(result.method, "legacy_api_v1_messages");
  EXPECT_EQ(result.evidence,
            "node_id=n1 configured_transport=api transport_plan=a2a_https,legacy_api "
            "remote_task_id=t1");
  const auto events = attempts();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0]["attempt"], "a2a_https");
  EXPECT_EQ(events[0]["attempt_index"], "1");
  EXPECT_EQ(events[0]["transport_unavailable"], "true");
  EXPECT_EQ(events[0]["migration_fallback_safe"], "true");
  EXPECT_EQ(events[0]["error"], "card 404");
  EXPECT_EQ(events[1]["attempt"], "legacy_api");
  EXPECT_EQ(events[1]["attempt_index"], "2");
  EXPECT_EQ(events[1]["accepted"], "true");
  EXPECT_EQ(events[1]["transport_unavailable"], "false");
}

TEST_F(FallbackRule, FailureAfterTheRequestLeftBlocksTheFallback) {
  const DeliveryResult result =
      run(node("api", true, false), {{RemoteTransport::a2a_https, failure("HTTP 500", false)},
                                     {RemoteTransport::legacy_api, success("legacy")}});
  EXPECT_EQ(ran_, (std::vector<std::string>{"a2a_https"}));
  EXPECT_FALSE(result.accepted);
  EXPECT_EQ(result.error, "HTTP 500");
  EXPECT_EQ(result.evidence,
            "node_id=n1 configured_transport=api transport_plan=a2a_https,legacy_api "
            "fallback=blocked_to_prevent_duplicate_delivery "
            "attempts=[a2a_https:accepted=false:unavailable=false:error=HTTP 500]");
  ASSERT_EQ(attempts().size(), 1u);
}

TEST_F(FallbackRule, OnlyTheApiPairFallsBack) {
  // "ssh" and "auto" name two transports too, but neither is a migration pair.
  const DeliveryResult ssh =
      run(node("ssh", false, true), {{RemoteTransport::a2a_ssh, failure("unknown command", true)},
                                     {RemoteTransport::legacy_ssh, success("relay")}});
  EXPECT_FALSE(ssh.accepted);
  const DeliveryResult automatic =
      run(node("auto", true, true), {{RemoteTransport::a2a_https, failure("card 404", true)},
                                     {RemoteTransport::a2a_ssh, success("ssh")}});
  EXPECT_FALSE(automatic.accepted);
  EXPECT_EQ(ran_, (std::vector<std::string>{"a2a_ssh", "a2a_https"}));
  EXPECT_NE(automatic.evidence.find("fallback=blocked_to_prevent_duplicate_delivery"),
            std::string::npos);
}

TEST_F(FallbackRule, LastTransportFailingAddsNoBlockedNote) {
  const DeliveryResult result =
      run(node("api", true, false), {{RemoteTransport::a2a_https, failure("card 404", true)},
                                     {RemoteTransport::legacy_api, failure("refused", true)}});
  EXPECT_EQ(ran_.size(), 2u);
  EXPECT_FALSE(result.accepted);
  EXPECT_EQ(result.error, "refused");
  EXPECT_EQ(result.evidence.find("fallback="), std::string::npos);
  EXPECT_EQ(attempts().back()["transport_unavailable"], "false");
}

// The local task of the A2A attempt, as the plan publishes it once it has ended.
class PlanTask : public FallbackRule {
 protected:
  void SetUp() override {
    set_external_send_task_sink([this](const ExternalSendTask& task) { published_.push_back(task); });
  }
  void TearDown() override { set_external_send_task_sink(nullptr); }

  // A preflight that failed safely after the task began.
  static RemoteAttempt failed_preflight() {
    RemoteAttempt attempt = failure("card 404", true);
    ExternalSendTask task;
    task.message_id = "m1";
    record_external_send_answer(
        task, {"TASK_STATE_FAILED", "TESSIK_EXTERNAL_A2A_HTTP_STATUS", "card 404"}, "card 404");
    attempt.task = task;
    return attempt;
  }

  std::vector<ExternalSendTask> published_;
};

TEST_F(PlanTask, LegacySuccessSupersedesTheFailedA2aTask) {
  const DeliveryResult result =
      run(node("api", true, false), {{RemoteTransport::a2a_https, failed_preflight()},
                                     {RemoteTransport::legacy_api, success("legacy_api_v1_messages")}});
  ASSERT_TRUE(result.accepted);
  ASSERT_EQ(published_.size(), 1u);
  const ExternalSendTask& task = published_[0];
  EXPECT_EQ(task.message_id, "m1");
  EXPECT_EQ(task.state, "TASK_STATE_WORKING");
  EXPECT_EQ(task.error_code, "");
  EXPECT_EQ(task.error_message, "");
  ASSERT_EQ(task.events.size(), 2u);
  EXPECT_EQ(task.events[0].code, "external_a2a_http_response_failed");
  EXPECT_EQ(task.events[1].code, "superseded_by_legacy_success");
  EXPECT_EQ(task.events[1].state, "TASK_STATE_WORKING");
  EXPECT_EQ(task.events[1].message,
            "Delivered over legacy_api_v1_messages after the A2A attempt failed; "
            "task_state=superseded_by_legacy_success");
}

TEST_F(PlanTask, FailedFallbackOrDirectSuccessLeavesTheTaskAsItWas) {
  run(node("api", true, false), {{RemoteTransport::a2a_https, failed_preflight()},
                                 {RemoteTransport::legacy_api, failure("refused", false)}});
  ASSERT_EQ(published_.size(), 1u);
  EXPECT_EQ(published_[0].state, "TASK_STATE_FAILED");
  EXPECT_EQ(published_[0].error_code, "TESSIK_EXTERNAL_A2A_HTTP_STATUS");
  EXPECT_EQ(published_[0].events.size(), 1u);

  RemoteAttempt direct = success("a2a_https_jsonrpc");
  direct.task = ExternalSendTask{};
  record_external_send_answer(*direct.task, {"TASK_STATE_WORKING", "", ""}, "status 200");
  run(node("api", true, false), {{RemoteTransport::a2a_https, direct},
                                 {RemoteTransport::legacy_api, success("legacy")}});
  ASSERT_EQ(published_.size(), 2u);
  EXPECT_EQ(published_[1].state, "TASK_STATE_WORKING");
  ASSERT_EQ(published_[1].events.size(), 1u);
  EXPECT_EQ(published_[1].events[0].code, "external_a2a_http_response_accepted");

  // The legacy transports keep no task of their own.
  run(node("legacy-api", true, false), {{RemoteTransport::legacy_api, success("legacy")}});
  EXPECT_EQ(published_.size(), 2u);
}

}  // namespace
}  // namespace tessik
