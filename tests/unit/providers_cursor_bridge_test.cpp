// Cursor bridge pieces that need no extension: command file text, delivery-method names,
// bridge selection over live and stale entries, the registry file, cancellations, the patch
// gate, the early refusals of the send path and the result wait.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "base/random.h"
#include "platform/process_identity.h"
#include "providers/cursor/cursor_bridge_adapter.h"
#include "providers/cursor/cursor_bridge_command.h"
#include "providers/cursor/cursor_bridge_files.h"
#include "providers/cursor/cursor_bridge_selection.h"
#include "providers/cursor/cursor_result_wait.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;
using test::write_file;

// A bridge entry for this very test process: live unless changed.
CursorBridge own_bridge(const std::string& id, const std::string& registered_at) {
  CursorBridge bridge;
  bridge.bridge_id = id;
  bridge.surface = "cursor_agent_window";
  bridge.registered_at = registered_at;
  bridge.extension_host_process_id = platform::current_process_id();
  bridge.extension_host_started_at_unix_ms =
      platform::query_process_start(platform::current_process_id()).started_at_unix_ms;
  return bridge;
}

TEST(CursorBridgeCommand, RendersKeysInOrderWithEscapedValues) {
  CursorBridgeCommand command;
  command.command_id = "c-1";
  command.operation = "send_to_cursor_existing_composer";
  command.provider_session_id = "cursor:composer:x";
  command.cursor_composer_id = "x";
  command.target_agent = "A \"B\"";
  command.target_bridge_reason = "selected_only_agent_window_bridge";
  command.message = "hi\nthere";
  command.message_role = "user";
  command.delivery_methods = {"direct_chat_service_submit", "direct_loaded_agent_submit"};
  command.timeout_ms = 250000;
  command.created_at_unix_ms = 1000;
  command.expires_at_unix_ms = 251000;
  command.created_at = "2026-01-01T00:00:00Z";
  EXPECT_EQ(render_cursor_bridge_command(command),
            "{\n  \"schema_version\": 2,\n  \"command_id\": \"c-1\",\n  \"provider\": \"cursor\",\n"
            "  \"operation\": \"send_to_cursor_existing_composer\",\n"
            "  \"provider_session_id\": \"cursor:composer:x\",\n  \"cursor_composer_id\": \"x\",\n"
            "  \"target_agent\": \"A \\\"B\\\"\",\n  \"target_bridge_id\": \"\",\n"
            "  \"target_workspace_name\": \"\",\n  \"target_workspace_uri\": \"\",\n"
            "  \"target_bridge_reason\": \"selected_only_agent_window_bridge\",\n"
            "  \"requested_name\": \"\",\n  \"defer_initial_message_until_enrolled\": false,\n"
            "  \"correlation_timeout_ms\": 0,\n  \"requested_delivery_method\": \"\",\n"
            "  \"message_role\": \"user\",\n  \"correlation_code\": \"\",\n"
            "  \"message\": \"hi\\nthere\",\n  \"delivery_methods\": [\n"
            "    \"direct_chat_service_submit\",\n    \"direct_loaded_agent_submit\"\n  ],\n"
            "  \"timeout_ms\": 250000,\n  \"created_at_unix_ms\": 1000,\n"
            "  \"expires_at_unix_ms\": 251000,\n  \"status\": \"queued\",\n"
            "  \"created_at\": \"2026-01-01T00:00:00Z\"\n}\n");
}

TEST(CursorBridgeMethods, AcceptLettersAliasesAndFullNamesOnly) {
  for (const char* spelling :
       {"D", "d", "method-d", "method_d", "surface_then_direct_loaded_agent_submit"}) {
    const CursorDeliveryMethods resolved = resolve_cursor_delivery_methods(spelling);
    ASSERT_TRUE(resolved.ok) << spelling;
    EXPECT_EQ(resolved.requested, "surface_then_direct_loaded_agent_submit") << spelling;
    EXPECT_EQ(resolved.methods, std::vector<std::string>{resolved.requested});
  }
  const CursorDeliveryMethods all = resolve_cursor_delivery_methods("");
  ASSERT_EQ(all.methods.size(), 5u);
  EXPECT_EQ(all.methods.front(), "direct_chat_service_submit");
  EXPECT_EQ(all.methods.back(), "surface_then_ui_handler_submit");

  const CursorDeliveryMethods bad = resolve_cursor_delivery_methods("method-f");
  EXPECT_FALSE(bad.ok);
  EXPECT_EQ(bad.error, "Unsupported Cursor delivery method: method-f");
  EXPECT_EQ(bad.evidence,
            "allowed_methods=A=direct_chat_service_submit, B=direct_loaded_agent_submit, "
            "C=canvas_open_then_direct_loaded_agent_submit, "
            "D=surface_then_direct_loaded_agent_submit, E=surface_then_ui_handler_submit");
}

TEST(CursorBridgeSelection, LivenessFollowsTheRecordedProcess) {
  const CursorBridge live = own_bridge("b", "t");
  EXPECT_TRUE(is_cursor_bridge_live(live));
  CursorBridge restarted = live;
  restarted.extension_host_started_at_unix_ms -= 10001 + 1000;  // beyond the tolerance
  EXPECT_FALSE(is_cursor_bridge_live(restarted));
  CursorBridge no_start = live;
  no_start.extension_host_started_at_unix_ms = 0;
  EXPECT_FALSE(is_cursor_bridge_live(no_start));
  CursorBridge wide_pid = live;
  wide_pid.extension_host_process_id += 1ULL << 32;
  EXPECT_FALSE(is_cursor_bridge_live(wide_pid));

  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ASSERT_GT(child, 0);
  CursorBridge exited = live;
  exited.extension_host_process_id = static_cast<std::uint64_t>(child);
  ::waitpid(child, nullptr, 0);
  EXPECT_FALSE(is_cursor_bridge_live(exited));
}

TEST(CursorBridgeSelection, ReasonsFollowOwnershipCountAndAge) {
  const std::string send = "send_to_cursor_existing_composer";
  EXPECT_EQ(select_cursor_bridge({}, send, "c").reason, "no_cursor_bridge_registered");

  CursorBridge editor = own_bridge("editor", "2026-01-01");
  editor.surface = "cursor_editor";
  EXPECT_EQ(select_cursor_bridge({editor}, send, "c").reason,
            "no_cursor_agent_window_bridge_registered");

  CursorBridge empty_window = own_bridge("empty", "2026-01-01");
  empty_window.surface.clear();
  empty_window.workspace_name = "Cursor Empty Window";
  const CursorBridgeSelection only = select_cursor_bridge({editor, empty_window}, send, "c");
  ASSERT_TRUE(only.bridge.has_value());
  EXPECT_EQ(only.bridge->bridge_id, "empty");
  EXPECT_EQ(only.reason, "selected_only_agent_window_bridge");

  CursorBridge old_owner = own_bridge("old", "2026-01-01");
  old_owner.selected_composer_ids = {"x", "c"};
  const CursorBridge newer = own_bridge("new", "2026-03-01");
  const CursorBridgeSelection owner = select_cursor_bridge({old_owner, newer}, send, "c");
  EXPECT_EQ(owner.bridge->bridge_id, "old");
  EXPECT_EQ(owner.reason, "selected_agent_window_bridge_with_active_or_selected_composer");

  CursorBridge active = own_bridge("active", "2026-02-01");
  active.active_composer_id = "c";
  EXPECT_EQ(select_cursor_bridge({newer, active}, send, "c").bridge->bridge_id, "active");

  const CursorBridgeSelection newest = select_cursor_bridge({old_owner, newer}, send, "other");
  EXPECT_EQ(newest.bridge->bridge_id, "new");
  EXPECT_EQ(newest.reason, "selected_newest_agent_window_bridge_without_active_composer_match");
  EXPECT_EQ(select_cursor_bridge({newer, old_owner}, "create_cursor_composer", "").reason,
            "selected_newest_agent_window_bridge_for_create");

  CursorBridge stale = own_bridge("stale", "2026-05-01");
  stale.extension_host_process_id = 0;
  EXPECT_EQ(select_cursor_bridge({stale, editor}, send, "c").reason,
            "no_live_cursor_agent_window_bridge_registered stale_or_unverifiable=1");
}

class CursorBridgeFilesTest : public ::testing::Test {
 protected:
  test::TempEnv env_;
  CursorBridgePaths paths_ = cursor_bridge_paths();
};

TEST_F(CursorBridgeFilesTest, RegistryIsCreatedWhenAbsentAndNeverReplaced) {
  EXPECT_TRUE(load_cursor_bridge_registry(paths_.registry_file).bridges.empty());
  EXPECT_EQ(test::read_file(paths_.registry_file), kInitialCursorBridgeRegistry);
  EXPECT_EQ(paths_.registry_file.parent_path(), env_.state_dir() / "registry");

  const std::string written =
      R"({"bridges":[{"bridge_id":"b1","surface":"cursor_agent_window","extension_host_process_id":12,)"
      R"("command_watcher_active":true,"selected_composer_ids":["a",3]},"junk",)"
      R"({"bridge_id":["not text"],"extension_host_process_id":-4}]})";
  write_file(paths_.registry_file, written);
  const CursorBridgeRegistry registry = load_cursor_bridge_registry(paths_.registry_file);
  ASSERT_EQ(registry.bridges.size(), 2u);
  EXPECT_EQ(registry.bridges[0].bridge_id, "b1");
  EXPECT_EQ(registry.bridges[0].extension_host_process_id, 12u);
  EXPECT_TRUE(registry.bridges[0].command_watcher_active);
  EXPECT_EQ(registry.bridges[0].selected_composer_ids, std::vector<std::string>{"a"});
  EXPECT_EQ(registry.bridges[1].bridge_id, "");
  EXPECT_EQ(registry.bridges[1].extension_host_process_id, 0u);
  EXPECT_EQ(test::read_file(paths_.registry_file), written);

  write_file(paths_.registry_file, std::string(100, '[') + std::string(100, ']'));
  const CursorBridgeRegistry deep = load_cursor_bridge_registry(paths_.registry_file);
  EXPECT_TRUE(deep.bridges.empty());
  EXPECT_NE(deep.error.find("nested too deeply"), std::string::npos);
}

TEST_F(CursorBridgeFilesTest, CancellationIsWrittenWholeOrReportsTheStep) {
  const CancellationWrite written =
      write_cancellation(paths_, "cmd-1", "provider_result_wait_timeout");
  ASSERT_TRUE(written.written) << written.detail;
  const fs::path file = paths_.cancellation_file("cmd-1");
  EXPECT_EQ(written.detail, "cancellation_written path=" + file.string());
  const std::string text = test::read_file(file);
  const std::string head =
      "{\n  \"schema_version\": 1,\n  \"command_id\": \"cmd-1\",\n  \"status\": \"canceled\",\n"
      "  \"reason\": \"provider_result_wait_timeout\",\n  \"canceled_at\": \"";
  EXPECT_TRUE(text.starts_with(head)) << text;
  EXPECT_TRUE(text.ends_with("Z\"\n}\n")) << text;
  EXPECT_FALSE(fs::exists(file.string() + ".tmp"));

  CursorBridgePaths blocked = paths_;
  write_file(env_.root() / "plain-file", "x");
  blocked.cancellations_dir = env_.root() / "plain-file" / "cancellations";
  const CancellationWrite refused = write_cancellation(blocked, "cmd-2", "r");
  EXPECT_FALSE(refused.written);
  EXPECT_TRUE(refused.detail.starts_with("cancellation_directory_create_failed path=" +
                                         blocked.cancellations_dir.string() + " error="))
      << refused.detail;
}

TEST_F(CursorBridgeFilesTest, SendPathRefusesBeforeWritingAnyCommand) {
  CursorBridgeOptions options;
  options.open_uri = [](const std::string&) -> platform::UriOpenResult {
    ADD_FAILURE() << "no command should reach the bridge";
    return {};
  };
  CursorBridgeOperation operation;
  operation.operation = "send_to_cursor_existing_composer";
  operation.provider_session_id = "cursor:composer:" + random_uuid();
  operation.message = "hello";

  write_file(paths_.patch_status_file,
             R"({"status":"degraded","failing_required_checks":["hook_a","hook_b"]})");
  DeliveryResult result = run_cursor_bridge_operation(operation, options);
  EXPECT_EQ(result.method, "cursor_patch_status_gate");
  EXPECT_EQ(result.error, "Cursor provider patch is unhealthy");
  EXPECT_EQ(result.evidence,
            "Cursor patch status is degraded failing_required_checks=hook_a,hook_b");
  write_file(paths_.patch_status_file, "{oops");
  EXPECT_EQ(run_cursor_bridge_operation(operation, options).evidence,
            "Cursor patch status is unreadable failing_required_checks=");
  write_file(paths_.patch_status_file, R"({"status":"Healthy"})");

  struct Case {
    std::string operation, session, message, method, error, evidence;
  };
  const Case cases[] = {
      {" ", operation.provider_session_id, "m", "", "Cursor bridge operation is empty",
       "no fallback is allowed"},
      {operation.operation, "cursor:composer:not-a-uuid", "m", "",
       "Cursor target is missing provider_session_id",
       "provider_session_id must be cursor:composer:<uuid>"},
      {operation.operation, random_uuid(), "m", "", "Cursor target is missing provider_session_id",
       "provider_session_id must be cursor:composer:<uuid>"},
      {"create_cursor_composer", operation.provider_session_id, " \n", "",
       "Cursor bridge command message is empty",
       "create/send bridge paths require a non-empty message"},
      {operation.operation, operation.provider_session_id, "m", "Z",
       "Unsupported Cursor delivery method: Z", ""},
  };
  for (const Case& c : cases) {
    CursorBridgeOperation changed = operation;
    changed.operation = c.operation;
    changed.provider_session_id = c.session;
    changed.message = c.message;
    changed.requested_delivery_method = c.method;
    result = run_cursor_bridge_operation(changed, options);
    EXPECT_EQ(result.state, "failed");
    EXPECT_EQ(result.method, "tessik_cursor_bridge_multi_method");
    EXPECT_EQ(result.error, c.error);
    if (!c.evidence.empty()) {
      EXPECT_EQ(result.evidence, c.evidence);
    }
  }
  EXPECT_FALSE(fs::exists(paths_.commands_dir));
}

TEST_F(CursorBridgeFilesTest, ResultWaitWakesOnCreationAndGivesUpAtTheDeadline) {
  fs::create_directories(paths_.results_dir);
  const fs::path result = paths_.result_file("r-1");
  EXPECT_EQ(wait_for_result_file(result, 50).detail, "result_file_timeout");

  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    write_file(result, "{}");
  });
  const CursorResultWait created = wait_for_result_file(result, 60000);
  writer.join();
  EXPECT_TRUE(created.found);
  EXPECT_EQ(created.detail, "result_file_created");
  EXPECT_EQ(wait_for_result_file(result, 1).detail, "result_file_already_present");

  const fs::path nowhere = env_.root() / "missing" / "r.json";
  EXPECT_EQ(wait_for_result_file(nowhere, 10).detail,
            "result_change_wait_create_failed dir=" + nowhere.parent_path().string() + " error=2");
}

TEST_F(CursorBridgeFilesTest, ResultFieldsReadAsTextWhateverTheirType) {
  write_file(
      paths_.result_file("r"),
      R"({"status":"accepted_by_provider","attempt_count":3,"bridge_id":null,"surface":{"x":1}})");
  const CursorBridgeResult result = read_cursor_bridge_result(paths_.result_file("r"));
  ASSERT_TRUE(result.readable);
  EXPECT_EQ(result.status, "accepted_by_provider");
  EXPECT_EQ(result.attempt_count, "3");
  EXPECT_EQ(result.bridge_id, "");
  EXPECT_EQ(result.surface, "");
  write_file(paths_.result_file("s"), "[1,2]");
  EXPECT_FALSE(read_cursor_bridge_result(paths_.result_file("s")).readable);
}

}  // namespace
}  // namespace tessik
