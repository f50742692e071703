// Provider edges: which provider each operation reaches, the dispatchers' own refusals, the
// contract check before delivery, and the mailbox adapter end to end.
#include <gtest/gtest.h>

#include "lifecycle/provider_edges.h"
#include "providers/mailbox/mailbox_store.h"
#include "registry/normalization.h"
#include "state/state_dir.h"
#include "support/registry_rows.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;

CreateRequest create_for(const std::string& provider) {
  CreateRequest request;
  request.provider = provider;
  request.requested_name = "  Reviewer ";
  return request;
}

DeliveryRequest delivery_to(const AgentRecord& target, const std::string& message_id = "m-1") {
  DeliveryRequest request;
  request.test_id = "t-1";
  request.message_id = message_id;
  request.target = target;
  request.sender.resolved = true;
  request.sender.sender = "Alice";
  request.sender.node_id = "local";
  request.sender.source = "registry_name";
  request.final_visible_body = "Message from Alice\n\nhello";
  return request;
}

TEST(ProviderEdgesCreate, DispatcherRefusalsNeverReachAnAdapter) {
  struct Case {
    const char* provider;
    const char* method;
    const char* error;
  };
  const Case cases[] = {
      {"tessik-mailbox", "tessik_mailbox_singleton",
       "Tessik Mailbox is a built-in singleton endpoint and cannot be created"},
      {" MAILBOX ", "tessik_mailbox_singleton",
       "Tessik Mailbox is a built-in singleton endpoint and cannot be created"},
      {"remote", "remote_provider_create_not_implemented",
       "remote create requires an explicit remote node and remote provider contract before it "
       "can be enabled"},
      {"foo-bar", "unknown_provider_create", "unknown provider 'foo_bar'"},
      {"a2a", "unknown_provider_create", "unknown provider 'a2a'"},
  };
  for (const Case& c : cases) {
    const CreateResult result = create_provider_session(create_for(c.provider));
    EXPECT_EQ(result.state, "failed") << c.provider;
    EXPECT_EQ(result.method, c.method) << c.provider;
    EXPECT_EQ(result.error, c.error) << c.provider;
    EXPECT_EQ(result.evidence, "provider create edge is not implemented in Tessik yet");
    EXPECT_EQ(result.correlation_state, "unsupported");
    EXPECT_EQ(result.provider, c.provider);
    EXPECT_EQ(result.requested_name, "  Reviewer ");
  }
}

TEST(ProviderEdgesCreate, FactoriesReachTheirOwnAdapters) {
  const CreateResult codex = create_provider_session(create_for("codex"));
  EXPECT_EQ(codex.method, "codex_desktop_create_not_supported");
  EXPECT_EQ(codex.correlation_state, "desktop_create_not_available");
  EXPECT_EQ(codex.requested_name, "Reviewer");
  EXPECT_EQ(codex.error,
            "Codex desktop create is disabled because the previous app-server spawn path is not "
            "a reliable desktop create transport");

  EXPECT_EQ(create_provider_session(create_for("codex-cli")).method,
            "codex_cli_create_adapter_not_available");
  const CreateResult claude = create_provider_session(create_for("Claude"));
  EXPECT_EQ(claude.method, "claude_cli_single_process_readiness_gate");
  EXPECT_EQ(claude.error, "Claude CLI create requires an initial message");
  EXPECT_EQ(create_provider_session(create_for("agy")).method,
            "antigravity_cli_create_adapter_not_available");
  for (const char* factory :
       {"codex_cli", "antigravity", "antigravity_cli", "vscode_native", "vscode_copilot_backed",
        "cursor", "cursor_cli", "copilot_cli", "opencode_cli"}) {
    const CreateResult result = create_provider_session(create_for(factory));
    EXPECT_EQ(result.state, "failed") << factory;
    EXPECT_TRUE(result.method.ends_with("_create_adapter_not_available")) << result.method;
  }
}

TEST(ProviderEdgesRename, RefusalsAndSharedCodexAdapter) {
  RenameRequest request;
  request.requested_name = "New";
  request.target = builtin_mailbox_record();
  RenameResult result = rename_provider_session(request);
  EXPECT_EQ(result.method, "tessik_mailbox_reserved_name");
  EXPECT_EQ(result.error, "Tessik Mailbox is a reserved built-in endpoint and cannot be renamed");
  EXPECT_EQ(result.evidence, "provider rename edge is not implemented in Tessik yet");

  request.target = test::ready_row("x", "X", "a2a", "s");
  result = rename_provider_session(request);
  EXPECT_EQ(result.method, "unknown_provider_rename");
  EXPECT_EQ(result.error, "unknown provider 'a2a'");

  request.target = test::ready_row("x", "X", "cursor_cli", "s");
  result = rename_provider_session(request);
  EXPECT_EQ(result.method, "cursor_agent_cli_rename_not_implemented");
  EXPECT_EQ(result.error, "provider 'cursor_cli' rename is not implemented in Tessik yet");
  EXPECT_EQ(result.evidence,
            "Cursor Agent CLI direct rename contract has not been proven; Tessik stores display "
            "names for created cursor_cli sessions");

  request.target = test::ready_row("x", "X", "copilot_cli", "s");
  EXPECT_EQ(rename_provider_session(request).method, "copilot_cli_rename_not_implemented");

  request.target = test::ready_row("x", "X", "codex_cli", "s");
  const std::string cli_method = rename_provider_session(request).method;
  request.target = test::ready_row("x", "X", "codex", "s");
  EXPECT_EQ(rename_provider_session(request).method, cli_method);
  EXPECT_EQ(cli_method, "codex_desktop_rename_adapter_not_available");
}

class ProviderEdgesDeliverTest : public ::testing::Test {
 protected:
  test::TempEnv env;
};

TEST_F(ProviderEdgesDeliverTest, MailboxRowSkipsTheContractAndIsStoredOnce) {
  AgentRecord mailbox = builtin_mailbox_record();
  normalize_agent_record(mailbox);
  ASSERT_FALSE(check_normalized_agent(mailbox).ready);  // it would fail the contract

  const DeliveryResult first = deliver_to_provider(delivery_to(mailbox));
  EXPECT_EQ(first.state, "accepted_by_provider") << first.error;
  EXPECT_TRUE(first.accepted);
  EXPECT_EQ(first.provider, "tessik_mailbox");
  EXPECT_EQ(first.method, "tessik_mailbox_atomic_spool");
  EXPECT_EQ(first.provider_session_id, "tessik_mailbox:default");
  EXPECT_EQ(first.display_name, "Tessik Mailbox");
  const auto stored = read_mailbox_messages(mailbox_messages_directory());
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(first.evidence, "committed_path=" + stored[0].file_path.string() + " stored_bytes=" +
                                std::to_string(fs::file_size(stored[0].file_path)) +
                                " idempotent=false");
  EXPECT_EQ(stored[0].sender_name, "Alice");
  EXPECT_EQ(stored[0].sender_source, "registry_name");
  EXPECT_EQ(stored[0].test_id, "t-1");
  EXPECT_EQ(stored[0].final_visible_body, "Message from Alice\n\nhello");

  const DeliveryResult again = deliver_to_provider(delivery_to(mailbox));
  EXPECT_TRUE(again.accepted);
  EXPECT_TRUE(again.evidence.ends_with(" idempotent=true")) << again.evidence;
  EXPECT_EQ(read_mailbox_messages(mailbox_messages_directory()).size(), 1u);
}

TEST_F(ProviderEdgesDeliverTest, MailboxRefusesOtherSessionsAndUnsafeIds) {
  AgentRecord other = builtin_mailbox_record();
  other.provider_session_id = "tessik_mailbox:other";
  const DeliveryResult wrong = deliver_to_provider(delivery_to(other));
  EXPECT_EQ(wrong.state, "failed");
  EXPECT_EQ(wrong.error, "mailbox target has an unsupported provider_session_id");
  EXPECT_EQ(wrong.evidence, "expected=tessik_mailbox:default actual=tessik_mailbox:other");

  const DeliveryResult unsafe =
      deliver_to_provider(delivery_to(builtin_mailbox_record(), "../../etc/x"));
  EXPECT_FALSE(unsafe.accepted);
  EXPECT_EQ(unsafe.error, "mailbox message_id is empty or contains unsafe filename characters");
  EXPECT_EQ(unsafe.evidence, "mailbox_directory=" + mailbox_messages_directory().string());
  EXPECT_FALSE(fs::exists(mailbox_messages_directory()));
}

TEST_F(ProviderEdgesDeliverTest, ContractIsCheckedBeforeAnyAdapter) {
  AgentRecord unverified = test::ready_row("a", "A", "claude_code_cli", "s-1");
  unverified.delivery_verification_source.clear();
  unverified.normalization_schema = kNormalizedAgentSchema;  // not a legacy row
  const DeliveryResult result = deliver_to_provider(delivery_to(unverified));
  EXPECT_EQ(result.state, "failed");
  EXPECT_EQ(result.method, "normalization_contract_rejected");
  EXPECT_EQ(result.error, "target delivery binding is not valid for its normalized provider");
  EXPECT_EQ(result.evidence, "normalization_issues=delivery_binding_unverified");
  EXPECT_EQ(result.provider, "claude_code_cli");
  EXPECT_EQ(result.provider_session_id, "s-1");
}

TEST_F(ProviderEdgesDeliverTest, EveryDeliveryKeyReachesItsAdapterPromptly) {
  // A provider text spelled differently still routes by its normalized delivery binding.
  const DeliveryResult claude =
      deliver_to_provider(delivery_to(test::ready_row("a", "A", " Claude-Code-CLI ", "s")));
  EXPECT_EQ(claude.method, "claude_cli_print_resume");
  EXPECT_EQ(claude.error, "Claude provider session id is missing claude_code_cli:session:<uuid>");

  const std::pair<const char*, const char*> routes[] = {
      {"codex_cli", "codex_cli_adapter_not_available"},
      {"vscode_native", "vscode_native_adapter_not_available"},
      {"vscode_copilot_backed", "vscode_copilot_adapter_not_available"},
      {"antigravity", "antigravity_adapter_not_available"},
      {"antigravity_cli", "antigravity_cli_adapter_not_available"},
      {"cursor_cli", "cursor_agent_cli_adapter_not_available"},
      {"copilot_cli", "copilot_cli_adapter_not_available"},
      {"opencode_cli", "opencode_cli_adapter_not_available"},
      {"a2a", "a2a_http_json_message_send"},  // the client refuses "s-9" as a URL
  };
  for (const auto& [provider, method] : routes) {
    const DeliveryResult result =
        deliver_to_provider(delivery_to(test::ready_row("a", "A", provider, "s-9")));
    EXPECT_EQ(result.state, "failed") << provider;
    EXPECT_FALSE(result.accepted) << provider;
    EXPECT_EQ(result.method, method) << provider;
    EXPECT_EQ(result.provider_session_id, "s-9");
    EXPECT_FALSE(result.error.empty());
  }

  // Codex desktop and the Cursor bridge reach their own adapters, which refuse these targets
  // without an application to talk to (and without a desktop opener on PATH).
  env.set("PATH", (env.root() / "no-tools").string());
  const DeliveryResult codex =
      deliver_to_provider(delivery_to(test::ready_row("a", "A", "codex", "thread-9")));
  EXPECT_EQ(codex.method, "codex_desktop_ipc");
  EXPECT_EQ(codex.error, "Codex Desktop IPC owner not available and hydration nudge failed");
  EXPECT_TRUE(
      codex.evidence.ends_with(" hydration=ShellExecute failed: 2 alternate_transport=disabled"))
      << codex.evidence;
  const DeliveryResult cursor =
      deliver_to_provider(delivery_to(test::ready_row("a", "A", "cursor", "s-9")));
  EXPECT_EQ(cursor.method, "tessik_cursor_bridge_multi_method");
  EXPECT_EQ(cursor.error, "Cursor target is missing provider_session_id");
  // Remote rows reach the remote adapter, which looks their node up in the node registry.
  const DeliveryResult remote =
      deliver_to_provider(delivery_to(test::ready_row("a", "A", "remote", "s-9")));
  EXPECT_EQ(remote.method, "remote_transport_plan");
  EXPECT_TRUE(remote.error.starts_with("remote node is not in node registry: ")) << remote.error;
}

}  // namespace
}  // namespace tessik
