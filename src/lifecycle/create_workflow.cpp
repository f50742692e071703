// The create workflow's stages, in order. Each stage that is reached leaves one lifecycle
// record; the events between them say what each stage decided.
#include "lifecycle/create_workflow.h"

#include <stdexcept>

#include "base/random.h"
#include "base/text.h"
#include "lifecycle/rename_workflow.h"
#include "providers/provider_catalog.h"
#include "registry/sender_resolution.h"

namespace tessik {
namespace {

constexpr char kClaude[] = "claude_code_cli";
// The message pipeline's word for the plain-English reply route of Claude's first message.
constexpr char kClaudeBodyPolicy[] = "claude_plain_english_reply_route";
constexpr char kLifecycleEvent[] = "create_lifecycle";

const char* flag(bool value) {
  return value ? "true" : "false";
}

template <typename Function>
const Function& required(const Function& function, const char* name) {
  if (!function) throw std::logic_error(std::string("create workflow edge is missing: ") + name);
  return function;
}

class CreateRun {
 public:
  CreateRun(const CreateRequest& request, const Registry& registry, const LifecycleLogs& logs,
            const LifecycleEdges& edges)
      : registry_(registry), logs_(logs), edges_(edges) {
    out_.request = request;
  }

  CreateWorkflowResult run();

 private:
  bool prepare_initial_body();
  void call_provider();
  bool enroll();
  bool verify_claude_name();
  bool send_initial_message();
  void refresh_title();

  CreateWorkflowResult& stop(int stage, std::string message) {
    out_.stage = stage;
    out_.message = std::move(message);
    return out_;
  }
  void lifecycle(std::string_view status, EvidenceFields extra = {}) const;
  void event(std::string_view type, EvidenceFields fields) const {
    logs_.lifecycle.append(type, fields);
  }
  EvidenceFields request_fields() const {
    return {{"request_id", out_.request.request_id},
            {"provider", out_.request.provider},
            {"requested_name", out_.request.requested_name}};
  }
  SenderResolution resolve() const {
    return resolve_sender(registry_, trim(out_.request.from), trim(out_.request.from_node));
  }

  const Registry& registry_;
  const LifecycleLogs& logs_;
  const LifecycleEdges& edges_;
  CreateWorkflowResult out_;
  std::string key_;  // the catalog key of the requested provider
  bool accepted_ = false;
  bool initial_sent_ = false;
  InitialBody body_;
  SenderResolution sender_;
};

void CreateRun::lifecycle(std::string_view status, EvidenceFields extra) const {
  const CreateRequest& request = out_.request;
  EvidenceFields fields{{"request_id", request.request_id},
                        {"provider", request.provider},
                        {"node_id", "local"},
                        {"requested_name", request.requested_name},
                        {"first_message_hash", first_message_hash(request.initial_message)},
                        {"status", std::string(status)}};
  if (accepted_) {
    const CreateResult& result = out_.result;
    const std::string display_name =
        out_.enrolled ? out_.enrolled->display_name : trim(result.registry_display_name);
    fields.insert(fields.end(), {{"accepted", flag(result.accepted)},
                                 {"initial_message_sent", flag(initial_sent_)},
                                 {"method_used", result.method},
                                 {"provider_session_id", result.provider_session_id},
                                 {"provider_title", result.provider_title},
                                 {"registry_display_name", display_name},
                                 {"correlation_state", result.correlation_state},
                                 {"rename_recommended", flag(result.rename_recommended)},
                                 {"evidence", result.evidence},
                                 {"error", result.error}});
  }
  fields.insert(fields.end(), extra.begin(), extra.end());
  logs_.lifecycle.append(kLifecycleEvent, fields);
}

CreateWorkflowResult CreateRun::run() {
  CreateRequest& request = out_.request;
  request.provider = trim(request.provider);
  request.requested_name = trim(request.requested_name);
  const auto rejected = [&](int stage, const char* message) -> CreateWorkflowResult& {
    lifecycle("rejected", {{"stage", std::to_string(stage)}, {"message", message}});
    return stop(stage, message);
  };
  if (request.provider.empty()) return rejected(create_stage::kMissingInput, "--provider is required");
  if (request.requested_name.empty())
    return rejected(create_stage::kMissingInput, "--name is required");
  request.request_id = trim(request.request_id);
  if (request.request_id.empty()) request.request_id = random_hex_token();
  key_ = catalog_provider_key(request.provider);

  if (!trim(request.initial_message).empty()) {
    sender_ = resolve();
    if (!sender_.resolved)
      return rejected(create_stage::kUnresolvedSender,
                      "this raw CLI create has an initial message but no sender identity");
    if (!prepare_initial_body())
      return rejected(create_stage::kBodyInvalid, "final visible body validation failed");
  }

  call_provider();
  if (!accepted_) return stop(create_stage::kProviderRefused, out_.result.error);
  const CreateResult& result = out_.result;
  if (key_ == "antigravity_cli" && result.correlation_state == "event_pending" &&
      !trim(result.operation_id).empty()) {
    const char* reason =
        "detached worker owns correlation, native title verification, enrollment, and callback "
        "accounting";
    event("create_operation_pending",
          {{"request_id", request.request_id}, {"provider", request.provider},
           {"operation_id", trim(result.operation_id)}, {"reason", reason}});
    lifecycle("create_operation_pending");
    return stop(create_stage::kPendingOperation, reason);
  }
  if (trim(result.provider_session_id).empty()) {
    lifecycle("create_pending_no_session",
              {{"message", "provider accepted create but did not return a stable provider "
                           "session id"}});
    event("create_post_send_title_refresh_skipped",
          {{"request_id", request.request_id}, {"reason", "missing_provider_session_id"}});
    return stop(create_stage::kNoStableSession,
                "provider accepted create but did not return a stable provider session ID");
  }
  if (!enroll()) return out_;
  if (key_ == kClaude && !verify_claude_name()) return out_;
  if (!send_initial_message()) return out_;
  refresh_title();
  lifecycle("completed");
  return out_;
}

bool CreateRun::prepare_initial_body() {
  CreateRequest& request = out_.request;
  if (key_ == kClaude) {
    body_.text = request.initial_message + "\n\nPlease send your response to " +
                 trim(sender_.sender) + " using Tessik.";
    body_.policy = kClaudeBodyPolicy;
    body_.original_bytes = request.initial_message.size();
    body_.final_bytes = body_.text.size();
  } else {
    body_ = required(edges_.build_initial_body, "build_initial_body")(request, sender_);
  }
  event("create_initial_body_built",
        {{"request_id", request.request_id},
         {"provider", request.provider},
         {"requested_name",
          ignores_requested_name(key_) ? "[ignored_for_provider]" : request.requested_name},
         {"sender_resolved", "true"},
         {"sender_agent", trim(sender_.sender)},
         {"body_policy", body_.policy},
         {"original_body_bytes", std::to_string(body_.original_bytes)},
         {"final_visible_body_bytes", std::to_string(body_.final_bytes)}});

  DeliveryRequest preflight;
  preflight.test_id = "create_preflight";
  preflight.message_id = request.request_id;
  preflight.target.provider = key_;
  preflight.target.display_name = request.requested_name;
  preflight.target.node_id = "local";
  preflight.sender = sender_;
  preflight.final_visible_body = body_.text;
  return required(edges_.validate_body, "validate_body")(preflight).accepted;
}

void CreateRun::call_provider() {
  lifecycle("requested");
  event("create_requested", request_fields());
  CreateRequest edge_request = out_.request;
  if (!body_.text.empty()) edge_request.initial_message = body_.text;
  out_.result = required(edges_.create, "create")(edge_request);
  if (!out_.result.accepted) {
    EvidenceFields fields = request_fields();
    fields.insert(fields.end(), {{"method_used", out_.result.method},
                                 {"evidence", out_.result.evidence},
                                 {"error", out_.result.error}});
    event("create_failed", fields);
    lifecycle("provider_create_failed", {{"error", out_.result.error}});
    return;
  }
  accepted_ = true;
  initial_sent_ = out_.result.initial_message_sent;
  lifecycle("provider_create_accepted");
  EvidenceFields fields = request_fields();
  fields.insert(fields.end(), {{"provider_session_id", out_.result.provider_session_id},
                               {"method_used", out_.result.method},
                               {"correlation_state", out_.result.correlation_state}});
  event("provider_create_accepted", fields);
}

bool CreateRun::enroll() {
  std::string error;
  out_.enrolled = enroll_created_agent(out_.request, out_.result, registry_, error);
  if (!out_.enrolled) {
    lifecycle("registry_enrollment_failed", {{"message", error}});
    stop(create_stage::kEnrollmentFailed, error);
    return false;
  }
  const CreateResult& result = out_.result;
  event("create_registry_enrolled",
        {{"request_id", out_.request.request_id},
         {"provider", out_.request.provider},
         {"provider_session_id", out_.enrolled->provider_session_id},
         {"node_id", out_.enrolled->node_id},
         {"requested_name", out_.request.requested_name},
         {"provider_title", result.provider_title},
         {"registry_display_name", out_.enrolled->display_name},
         {"correlation_state", result.correlation_state},
         {"rename_recommended", flag(result.rename_recommended)},
         {"evidence", result.evidence}});
  lifecycle("registry_enrolled");
  return true;
}

bool CreateRun::verify_claude_name() {
  RenameRequest rename;
  rename.request_id = out_.request.request_id;
  rename.target = *out_.enrolled;
  rename.requested_name = out_.request.requested_name;
  RenameAgentWorkflowResult renamed;
  try {
    renamed = rename_agent_workflow(rename, registry_, logs_,
                                    required(edges_.rename, "rename"));
  } catch (const std::logic_error&) {
    throw;
  } catch (const std::exception& failure) {
    renamed.error = failure.what();
  }
  if (renamed.ok() && renamed.verified) {
    if (renamed.updated) out_.enrolled = renamed.updated;
    event("create_rename_verified",
          {{"request_id", out_.request.request_id},
           {"requested_name", out_.request.requested_name},
           {"verified_name", trim(renamed.edge.provider_title)},
           {"provider_session_id", out_.enrolled->provider_session_id}});
    lifecycle("rename_verified");
    return true;
  }
  std::string error = trim(renamed.error);
  if (error.empty()) error = trim(renamed.edge.error);
  event("create_rename_failed", {{"request_id", out_.request.request_id},
                                 {"requested_name", out_.request.requested_name},
                                 {"rename_error", error},
                                 {"rename_evidence", trim(renamed.edge.evidence)},
                                 {"rename_verification", trim(renamed.edge.verification_state)}});
  if (error.empty()) error = "Claude session creation succeeded but full rename verification failed";
  lifecycle("rename_failed", {{"message", error}});
  stop(create_stage::kRenameNotVerified, error);
  return false;
}

bool CreateRun::send_initial_message() {
  if (body_.text.empty() || initial_sent_) return true;
  SenderResolution sender;
  try {
    sender = resolve();
  } catch (const std::exception& failure) {
    sender.resolved = false;
    sender.reason = failure.what();
  }
  if (!sender.resolved) {
    event("create_initial_send_failed",
          {{"request_id", out_.request.request_id},
           {"reason", "missing_sender_identity_after_create_enrollment"}});
    lifecycle("initial_send_failed");
    stop(create_stage::kSenderLostAfterEnrol, "missing sender identity after create enrollment");
    return false;
  }
  DeliveryRequest delivery;
  delivery.test_id = out_.request.request_id;
  delivery.message_id = out_.request.request_id;
  delivery.target = *out_.enrolled;
  delivery.sender = sender;
  delivery.final_visible_body = body_.text;
  delivery.source_context = "create_initial_message";
  DeliveryResult sent;
  try {
    sent = required(edges_.deliver, "deliver")(delivery);
  } catch (const std::logic_error&) {
    throw;
  } catch (const std::exception& failure) {
    sent.state = "failed";
    sent.error = failure.what();
  }
  initial_sent_ = sent.accepted;
  event(sent.accepted ? "create_initial_send_accepted" : "create_initial_send_failed",
        {{"request_id", out_.request.request_id},
         {"initial_send_provider", sent.provider},
         {"initial_send_state", sent.state},
         {"initial_send_method", sent.method},
         {"initial_send_provider_session_id", sent.provider_session_id},
         {"initial_send_evidence", sent.evidence},
         {"initial_send_error", sent.error}});
  lifecycle(sent.accepted ? "initial_send_accepted" : "initial_send_failed");
  return true;
}

// Claude Code CLI shows a session's title only once its transcript holds it, so the row is
// refreshed from a targeted discovery; the other providers' titles are known at creation.
void CreateRun::refresh_title() {
  if (key_ != kClaude) {
    event("create_post_send_title_refresh_skipped",
          {{"request_id", out_.request.request_id},
           {"reason", "provider_not_supported_for_title_refresh"}});
    return;
  }
  TitleRefresh refresh;
  try {
    refresh = required(edges_.refresh_title, "refresh_title")(*out_.enrolled);
    for (const AgentRecord& row : load_registry(registry_)) {
      if (row.agent_id == out_.enrolled->agent_id) out_.enrolled = row;
    }
  } catch (const std::logic_error&) {
    throw;
  } catch (const std::exception&) {
    ++refresh.issues;  // the row stays as enrolled; the record says the pass had a problem
  }
  event("create_post_send_title_refresh",
        {{"request_id", out_.request.request_id},
         {"attempt", "1"},
         {"rows_found", std::to_string(refresh.rows_found)},
         {"updated", std::to_string(refresh.updated)},
         {"enrolled", std::to_string(refresh.enrolled)},
         {"skipped", std::to_string(refresh.skipped)},
         {"provider_owned_title_ready", flag(!trim(refresh.provider_title).empty())},
         {"issues", std::to_string(refresh.issues)}});
  lifecycle("title_refreshed");
}

}  // namespace

CreateWorkflowResult create_agent_workflow(const CreateRequest& request, const Registry& registry,
                                           const LifecycleLogs& logs,
                                           const LifecycleEdges& edges) {
  return CreateRun(request, registry, logs, edges).run();
}

}  // namespace tessik
