// The send pipeline's steps, in order. Every refusal is told three ways with one text (the
// outcome, a "send_rejected" event, an error stage record) so that a user, an operator
// reading events and a test run reading the delivery log all see the same reason.
#include "pipeline/send_pipeline.h"

#include <optional>
#include <stdexcept>
#include <utility>

#include "base/random.h"
#include "base/text.h"
#include "discovery/targeted_discovery.h"
#include "pipeline/delivery_handoff.h"
#include "pipeline/delivery_stage.h"
#include "pipeline/final_visible_body.h"
#include "pipeline/send_rate_limiter.h"
#include "pipeline/send_refusal.h"
#include "pipeline/target_resolution.h"
#include "registry/lock_publish.h"
#include "registry/normalization.h"
#include "registry/normalization_contract.h"
#include "registry/sender_resolution.h"
#include "state/state_dir.h"

namespace tessik {
namespace {

const char* bool_text(bool value) {
  return value ? "true" : "false";
}

bool is_display_fallback(const SenderResolution& sender) {
  return sender.source == "registry_session_id_display_fallback" ||
         sender.source == "registry_name_session_id_display_fallback";
}

// The state of one call: the outcome being built and the two logs it writes to.
class SendRun {
 public:
  SendRun(const PipelineContext& context, const SendRequest& request)
      : context_(context), request_(request), stages_(delivery_log_path()) {}

  SendOutcome run();

 private:
  SendOutcome accepted(SendOutcome outcome) const {
    if (context_.after_accepted) context_.after_accepted(request_, outcome, sender_);
    return outcome;
  }

  void stage(const std::string& name, bool ok, const std::string& detail,
             const AgentRecord* row = nullptr, const std::string& provider = {}) const {
    DeliveryStage record;
    record.test_id = test_id_;
    record.message_id = outcome_.message_id;
    record.target = outcome_.target;
    record.node = node_;
    if (row != nullptr) {
      record.provider = row->provider;
      record.target = row->display_name;
      record.session_id = row->provider_session_id;
      record.node = row->node_id;
    }
    if (!provider.empty()) record.provider = provider;
    record.stage = name;
    record.ok = ok;
    record.detail = detail;
    append_delivery_stage(stages_, record, kStageSourcePipeline);
  }

  SendOutcome refuse(std::string error, EvidenceFields fields, const std::string& stage_name,
                     const AgentRecord* row = nullptr) {
    outcome_.error = std::move(error);
    fields.emplace_back("reason", outcome_.error);
    context_.events.append("send_rejected", fields);
    stage(stage_name, false, outcome_.error, row);
    return outcome_;
  }

  SenderResolution resolve_sender_identity();
  void repair_sender(SenderResolution& sender);
  std::optional<SendOutcome> check_row(const AgentRecord& row);
  SendOutcome accept_and_hand_off(const AgentRecord& row);
  std::optional<SendOutcome> relay_upstream();

  const PipelineContext& context_;
  const SendRequest& request_;
  EvidenceLog stages_;
  SendOutcome outcome_;
  std::string test_id_;
  std::string node_;
  SenderResolution sender_;
};

SenderResolution SendRun::resolve_sender_identity() {
  if (!request_.body_is_final_visible) {
    return resolve_sender(context_.registry, request_.from, request_.from_node);
  }
  SenderResolution sender;
  sender.resolved = request_.sender_resolved;
  sender.sender = trim(request_.sender_agent);
  const std::string node = trim(request_.sender_node);
  sender.node_id = node.empty() ? "local" : node;
  const std::string source = trim(request_.sender_source);
  sender.source = source.empty() ? "final_visible_relay" : source;
  sender.reason = sender.resolved ? "sender identity was relayed with final-visible body"
                                  : "final-visible body did not include a resolved sender identity";
  return sender;
}

void SendRun::repair_sender(SenderResolution& sender) {
  const bool needs_repair = is_display_fallback(sender) ||
                            (!sender.resolved && sender.source == "unresolved_sender_session");
  if (request_.body_is_final_visible || trim(request_.from).empty() || !needs_repair) return;
  context_.events.append("registry_sender_requires_repair", {{"message_id", outcome_.message_id},
                                                             {"target", request_.target},
                                                             {"sender", request_.from},
                                                             {"node_id", node_},
                                                             {"reason", sender.reason}});
  DiscoveryReport report;
  discover_sender_after_registry_miss(report, node_, request_.from, context_.registry,
                                      context_.nodes_registry_path, context_.events,
                                      context_.scans());
  sender = resolve_sender(context_.registry, request_.from, request_.from_node);
  if (is_display_fallback(sender)) {
    sender.resolved = false;
    sender.reason =
        "targeted sender discovery did not establish a visible normalized sender identity";
  }
  context_.events.append(sender.resolved
                             ? "registry_sender_found_after_targeted_discovery"
                             : "registry_sender_still_unresolved_after_targeted_discovery",
                         {{"message_id", outcome_.message_id},
                          {"target", request_.target},
                          {"sender", request_.from},
                          {"sender_agent", sender.sender},
                          {"sender_source", sender.source},
                          {"rows_found", std::to_string(report.discovered.size())},
                          {"enrolled", std::to_string(report.enrolled)},
                          {"updated", std::to_string(report.updated)},
                          {"skipped", std::to_string(report.skipped)},
                          {"reason", sender.reason}});
}

std::optional<SendOutcome> SendRun::check_row(const AgentRecord& row) {
  if (!row.sendable) {
    std::string error = "target is known but not sendable";
    if (!trim(row.last_error).empty()) error += ": " + row.last_error;
    return refuse(std::move(error),
                  {{"message_id", outcome_.message_id},
                   {"target", outcome_.target},
                   {"provider", row.provider},
                   {"sender_resolved", bool_text(sender_.resolved)},
                   {"sender_agent", sender_.sender}},
                  "route_resolved", &row);
  }
  // The built-in mailbox is the system's own endpoint: its contract never blocks a send.
  const NormalizationCheck check = check_normalized_agent(row);
  if (!is_builtin_mailbox(row) && !normalization_contract_holds(check)) {
    return refuse(
        "target normalization contract is incomplete: " + format_normalization_issues(check),
        {{"message_id", outcome_.message_id},
         {"target", outcome_.target},
         {"provider", row.provider},
         {"normalization_schema", row.normalization_schema},
         {"provider_surface", row.provider_surface},
         {"delivery_binding", row.delivery_binding}},
        "normalization_contract_validated", &row);
  }
  stage("normalization_contract_validated", true,
        "schema=" + row.normalization_schema + " surface=" + row.provider_surface +
            " delivery_binding=" + row.delivery_binding,
        &row);
  return std::nullopt;
}

SendOutcome SendRun::accept_and_hand_off(const AgentRecord& row) {
  outcome_.accepted = true;
  outcome_.status = kStatusAcceptedByTessik;
  outcome_.detail = "tessik_receipt_only";
  context_.events.append(
      "message_accepted_by_tessik",
      {{"message_id", outcome_.message_id},
       {"target", outcome_.target},
       {"provider", outcome_.provider},
       {"sender_resolved", bool_text(sender_.resolved)},
       {"delivery_receipt", "tessik_only"},
       {"receipt_boundary", "after_target_resolution_before_delivery_worker_or_provider"}});
  stage("route_resolved", true, "local provider route selected", &row);

  const FinalBody body = request_.body_is_final_visible
                             ? already_final_visible_body(request_.body)
                             : build_final_visible_body({request_.body, sender_, row.display_name,
                                                         test_id_, outcome_.message_id});
  DeliveryRequest handoff;
  handoff.test_id = test_id_;
  handoff.message_id = outcome_.message_id;
  handoff.target = row;
  handoff.sender = sender_;
  handoff.final_visible_body = body.final_visible_body;
  handoff.callback_expected = body.callback_expected;
  handoff.requested_delivery_method = request_.requested_delivery_method;
  handoff.source_context = request_.source_context;
  handoff.live_upstream_outbox_path = request_.live_upstream_outbox_path;
  handoff.strict = request_.strict;
  const DeliveryResult result = hand_off_delivery(handoff);

  context_.events.append(
      result.accepted ? "delivery_handoff_started" : "delivery_handoff_failed",
      {{"message_id", outcome_.message_id},
       {"target", outcome_.target},
       {"provider", result.provider},
       {"state", result.state},
       {"accepted", bool_text(result.accepted)},
       {"requested_delivery_method", request_.requested_delivery_method},
       {"method_used", result.method},
       {"evidence", result.evidence},
       {"error", result.error},
       {"body_policy", body.body_policy},
       {"original_body_bytes", std::to_string(body.original_body_bytes)},
       {"final_visible_body_bytes", std::to_string(body.final_visible_body_bytes)}});
  if (result.accepted) {
    stage("delivery_worker_handoff_started", true, result.evidence, &row, result.provider);
  } else {
    stage("delivery_worker_handoff_failed", false, result.error, &row, result.provider);
  }
  return outcome_;
}

std::optional<SendOutcome> SendRun::relay_upstream() {
  const std::string outbox = trim(request_.live_upstream_outbox_path);
  if (outbox.empty()) return std::nullopt;
  apply_send_rate_limit(context_.events, outcome_.message_id, request_.target);
  try {
    append_live_upstream_message(outbox, outcome_.message_id, request_.target, request_.body,
                                 sender_.sender, sender_.node_id);
  } catch (const std::runtime_error& error) {
    context_.events.append("live_upstream_message_failed", {{"message_id", outcome_.message_id},
                                                            {"target", request_.target},
                                                            {"outbox", outbox},
                                                            {"reason", error.what()}});
    return std::nullopt;
  }
  outcome_.accepted = true;
  outcome_.accepted_by_provider = true;
  outcome_.provider = "live_upstream_relay";
  outcome_.status = kStatusAcceptedByLiveUpstream;
  outcome_.detail = "outbox=" + outbox;
  context_.events.append("live_upstream_message_accepted",
                         {{"message_id", outcome_.message_id},
                          {"target", request_.target},
                          {"sender_resolved", bool_text(sender_.resolved)},
                          {"sender_agent", sender_.sender},
                          {"outbox", outbox}});
  return outcome_;
}

SendOutcome SendRun::run() {
  outcome_.message_id = trim(request_.message_id);
  if (outcome_.message_id.empty()) outcome_.message_id = random_hex_token();
  test_id_ = trim(request_.test_id);
  if (test_id_.empty()) test_id_ = random_hex_token();
  outcome_.target = request_.target;
  node_ = trim(request_.from_node);
  if (node_.empty()) node_ = "local";
  stage("accepted", true,
        "MCP/CLI request entered Tessik message pipeline; provider delivery is not implied");

  if (trim(request_.target).empty()) {
    return refuse("target is required", {{"message_id", outcome_.message_id}}, "target_resolved");
  }
  if (trim(request_.body).empty()) {
    return refuse("message body is empty",
                  {{"message_id", outcome_.message_id}, {"target", request_.target}},
                  "target_resolved");
  }
  sender_ = resolve_sender_identity();
  repair_sender(sender_);
  if (!sender_.resolved) {
    node_ = sender_.node_id;
    return refuse((request_.body_is_final_visible
                       ? "send requires resolved sender identity for final-visible relay body: "
                       : "send requires explicit --from sender identity: ") +
                      sender_.reason,
                  {{"message_id", outcome_.message_id}, {"target", request_.target}},
                  "target_resolved");
  }

  DiscoveryReport report;
  const std::optional<AgentRecord> row =
      resolve_target(context_, request_.target, outcome_.message_id, &report);
  if (row) {
    outcome_.target = row->display_name;
    outcome_.provider = row->provider;
    stage("target_resolved", true, "target matched canonical registry row", &*row);
    if (std::optional<SendOutcome> refused = check_row(*row)) return *refused;
    return accepted(accept_and_hand_off(*row));
  }

  if (std::optional<SendOutcome> relayed = relay_upstream()) return accepted(*relayed);
  node_ = sender_.node_id;
  return refuse(unresolved_target_error(report),
                {{"message_id", outcome_.message_id},
                 {"target", request_.target},
                 {"sender_resolved", bool_text(sender_.resolved)},
                 {"sender_agent", sender_.sender}},
                "target_resolved");
}

}  // namespace

SendOutcome send_message(const PipelineContext& context, const SendRequest& request) {
  return SendRun(context, request).run();
}

}  // namespace tessik
