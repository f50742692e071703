// Builders for task tests.
#include "support/task_fixtures.h"

#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "a2a/tasks/task_json.h"
#include "base/text.h"

namespace tessik::test {

TaskSendInput sample_send(const std::string& message_id, const std::string& text) {
  TaskSendInput send;
  send.message_id = message_id;
  send.target_agent = "Tessik Mailbox";
  send.requester_client_id = "client-a";
  send.requester_agent = "alice";
  send.requester_node = "local";
  send.text = text;
  return send;
}

TaskSendOutcome accepted_outcome() {
  TaskSendOutcome outcome;
  outcome.message_id = "0123456789abcdef0123456789abcdef";
  outcome.status = "accepted_by_tessik";
  outcome.provider = "tessik_mailbox";
  outcome.detail = "tessik_receipt_only";
  outcome.accepted = true;
  return outcome;
}

std::string stamp(int second) {
  char text[32];
  std::snprintf(text, sizeof text, "2026-01-01T%02d:%02d:%02dZ", second / 3600, second / 60 % 60,
                second % 60);
  return text;
}

AgentRecord mailbox_agent() {
  AgentRecord agent;
  agent.agent_id = "tessik-mailbox-local-default";
  agent.display_name = "Tessik Mailbox";
  agent.aliases = {"mailbox", "tessik-mailbox", "tessik_mailbox"};
  agent.provider = "tessik_mailbox";
  agent.provider_session_id = "tessik_mailbox:default";
  agent.public_agent_id = "pub-mailbox";
  agent.node_id = "local";
  agent.sendable = true;
  return agent;
}

TaskRecord stored_task(const std::string& id, const std::string& client_id,
                       const std::string& timestamp, const std::string& state) {
  TaskRecord task;
  task.id = id;
  task.context_id = "ctx-" + id;
  task.target_agent = "Tessik Mailbox";
  task.target_provider = "tessik_mailbox";
  task.target_provider_session_id = "tessik_mailbox:default";
  task.requester_client_id = client_id;
  task.requester_agent = "agent-of-" + client_id;
  task.requester_node = "local";
  task.state = state;
  task.timestamp = timestamp;
  task.message_id = "msg-" + id;
  task.history = "[{\"contextId\":\"ctx-" + id + "\",\"messageId\":\"u-" + id +
                 "\",\"parts\":[{\"text\":\"hi\"}],\"role\":\"ROLE_USER\",\"taskId\":\"" + id +
                 "\"}]";
  task.events.push_back({timestamp, state, "accepted_by_tessik", "tessik_receipt_only"});
  return task;
}

Principal client_principal(const std::string& client_id, std::vector<std::string> scopes) {
  Principal principal;
  principal.authenticated = true;
  principal.client_id = client_id;
  principal.sender_agent = "agent-of-" + client_id;
  principal.scopes = std::move(scopes);
  return principal;
}

FileSizeLimit::FileSizeLimit(std::uintmax_t bytes) {
  previous_handler_ = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limit{};
  ::getrlimit(RLIMIT_FSIZE, &limit);
  saved_current_ = limit.rlim_cur;
  limit.rlim_cur = bytes;
  ::setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit() {
  rlimit limit{};
  ::getrlimit(RLIMIT_FSIZE, &limit);
  limit.rlim_cur = saved_current_;
  ::setrlimit(RLIMIT_FSIZE, &limit);
  std::signal(SIGXFSZ, previous_handler_);
}

void use_push_files_in(GatewayContext& context, const std::filesystem::path& a2a_dir) {
  context.push_configs_path = a2a_dir / "pushNotificationConfigs.jsonl";
  context.push_pending_path = a2a_dir / "push-pending.jsonl";
  context.push_delivery_path = a2a_dir / "push-delivery.jsonl";
  context.push_dead_letter_path = a2a_dir / "push-dead-letter.jsonl";
}

TaskRecord bulk_task(int index, int revision) {
  TaskRecord task;
  task.id = "task-" + std::to_string(1'000'000 + index) + "-0123456789abcdef";
  task.context_id = task.id;
  task.target_agent = "Tessik Mailbox";
  task.target_provider = "tessik_mailbox";
  task.target_provider_session_id = "tessik_mailbox:default";
  task.requester_client_id = "client-" + std::to_string(index % 4);
  task.requester_agent = "agent-" + std::to_string(index % 4);
  task.requester_node = "local";
  task.message_id = "0123456789abcdef0123456789abcdef";
  const std::int64_t base = 1'767'225'600 + index * 7 + revision * 1'000'000;
  const auto event = [&](std::int64_t at, const char* state, const char* code, const char* text) {
    task.events.push_back({format_utc_timestamp(at), state, code, text});
  };
  event(base, kTaskStateSubmitted, "submitted", "A2A request entered Tessik gateway.");
  event(base, kTaskStateWorking, "routed_to_tessik", "Request was converted to an Tessik send.");
  event(base + 1, kTaskStateWorking, "accepted_by_tessik", "tessik_receipt_only");
  task.state = kTaskStateWorking;
  if (revision > 0) {
    task.state = revision == 1 ? kTaskStateCanceled : kTaskStateCompleted;
    event(base + 2, task.state.c_str(), "canceled_by_a2a_client", "A2A client requested it.");
  }
  task.timestamp = task.events.back().timestamp;
  task.history =
      "[" +
      build_message_json("msg-" + std::to_string(index), task.context_id, task.id, "ROLE_USER",
                         "Please look at the failing build on main.", false) +
      "]";
  return task;
}

void write_bulk_task_log(const std::filesystem::path& path, int tasks) {
  std::ofstream out(path, std::ios::binary);
  for (int i = 0; i < tasks; ++i)
    out << task_to_json_v1(bulk_task(i, 0)) << '\n';
  for (int i = 0; i < tasks; ++i) {
    if (i % 10 < 7) out << task_to_json_v1(bulk_task(i, 1)) << '\n';
  }
  for (int i = 0; i < tasks; ++i) {
    if (i % 10 < 3) out << task_to_json_v1(bulk_task(i, 2)) << '\n';
  }
}

}  // namespace tessik::test
