// Cursor bridge delivery against a fake bridge extension process: liveness of registered
// bridges, the command file it receives, how its results are judged, the URI wake-up, and
// the cancellation left behind when it never answers.
#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/random.h"
#include "providers/cursor/cursor_bridge_adapter.h"
#include "providers/cursor/cursor_bridge_files.h"
#include "providers/cursor/cursor_bridge_selection.h"
#include "support/broker_process.h"
#include "support/build_paths.h"
#include "support/delivery_env.h"
#include "support/registry_rows.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

class CursorDeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    paths_ = cursor_bridge_paths();
    options_.operation_timeout_ms = 20000;
    options_.result_grace_ms = 1000;
    options_.open_uri = [this](const std::string& uri) {
      opened_.push_back(uri);
      return uri_answer_;
    };
    uri_answer_.opened = true;
  }

  // Starts the fake extension and waits until it has registered its bridge.
  void start_bridge(std::vector<std::string> flags) {
    flags.insert(flags.begin(), paths_.registry_file.parent_path().string());
    bridge_ = std::make_unique<test::BrokerProcess>(
        std::string(TESSIK_HELPER_DIR) + "/fake_cursor_bridge", flags);
    ASSERT_TRUE(test::wait_until(
        [&] { return !load_cursor_bridge_registry(paths_.registry_file).bridges.empty(); }));
  }

  DeliveryRequest request(const std::string& method = "") const {
    DeliveryRequest request;
    request.message_id = "m-3";
    request.target = test::ready_row("cu", "Cursor Agent", "cursor", session_);
    request.final_visible_body = "Message from Alice\n\n\"quoted\" text";
    request.requested_delivery_method = method;
    return request;
  }

  // The only command file written so far.
  json only_command() const {
    const std::vector<fs::path> files = test::files_in(paths_.commands_dir);
    EXPECT_EQ(files.size(), 1u);
    return files.empty() ? json() : json::parse(test::read_file(files.front()));
  }

  test::TempEnv env_;
  CursorBridgePaths paths_;
  CursorBridgeOptions options_;
  std::unique_ptr<test::BrokerProcess> bridge_;
  std::vector<std::string> opened_;
  platform::UriOpenResult uri_answer_;
  std::string composer_ = random_uuid();
  std::string session_ = "cursor:composer:" + composer_;
};

TEST_F(CursorDeliveryTest, LiveWatchingBridgeHandlesTheCommandWithTheRequestedMethod) {
  start_bridge({"--watcher"});
  const DeliveryResult result = deliver_to_cursor_bridge(request("method-c"), options_);
  ASSERT_EQ(result.state, "accepted_by_provider") << result.error << result.evidence;
  EXPECT_TRUE(result.accepted);
  EXPECT_EQ(result.method,
            "tessik_cursor_bridge_multi_method:canvas_open_then_direct_loaded_agent_submit");
  EXPECT_EQ(result.provider_session_id, session_);
  EXPECT_EQ(result.evidence,
            "status=accepted_by_provider details=fake bridge handled "
            "send_to_cursor_existing_composer winning_method="
            "canvas_open_then_direct_loaded_agent_submit internal_method=fake_submit "
            "attempt_count=1 cursor_composer_id=" +
                composer_ + " provider_session_id=" + session_);
  EXPECT_TRUE(opened_.empty());  // the watcher picked the command up

  const json command = only_command();
  EXPECT_EQ(command["operation"], "send_to_cursor_existing_composer");
  EXPECT_EQ(command["target_bridge_id"], "fake-bridge-1");
  EXPECT_EQ(command["target_bridge_reason"], "selected_only_agent_window_bridge");
  EXPECT_EQ(command["cursor_composer_id"], composer_);
  EXPECT_EQ(command["message"], request().final_visible_body);
  EXPECT_EQ(command["requested_delivery_method"], "canvas_open_then_direct_loaded_agent_submit");
  EXPECT_EQ(command["timeout_ms"], 20000);
  EXPECT_EQ(command["correlation_timeout_ms"], 0);
  EXPECT_EQ(command["expires_at_unix_ms"].get<std::int64_t>(),
            command["created_at_unix_ms"].get<std::int64_t>() + 20000);
}

TEST_F(CursorDeliveryTest, BridgeWithoutWatcherIsWokenThroughItsUri) {
  start_bridge({});
  const DeliveryResult result = deliver_to_cursor_bridge(request(), options_);
  ASSERT_TRUE(result.accepted) << result.error << result.evidence;
  // Without a requested method every method is offered, and the bridge's winner is reported.
  EXPECT_EQ(result.method, "tessik_cursor_bridge_multi_method:direct_chat_service_submit");
  const json command = only_command();
  EXPECT_EQ(opened_,
            std::vector<std::string>{"cursor://tessik.tessik-cursor-bridge/execute?command_id=" +
                                     command["command_id"].get<std::string>()});
  EXPECT_EQ(command["delivery_methods"].size(), 5u);
}

TEST_F(CursorDeliveryTest, RefusedUriWakeUpFailsTheDelivery) {
  start_bridge({"--silent"});
  uri_answer_ = {false, 2, "ShellExecute failed: 2"};
  const DeliveryResult result = deliver_to_cursor_bridge(request(), options_);
  EXPECT_EQ(result.state, "failed");
  EXPECT_EQ(result.error, "failed to trigger Tessik Cursor bridge URI");
  EXPECT_NE(result.evidence.find("error=ShellExecute failed: 2"), std::string::npos);
}

TEST_F(CursorDeliveryTest, ResultsAreCheckedForTheTargetedBridgeAndTheAgentWindow) {
  start_bridge({"--watcher", "--result-bridge-id", "intruder"});
  const DeliveryResult wrong_bridge = deliver_to_cursor_bridge(request(), options_);
  EXPECT_EQ(wrong_bridge.state, "failed");
  EXPECT_FALSE(wrong_bridge.accepted);
  EXPECT_EQ(wrong_bridge.error, "Cursor bridge result was handled by the wrong bridge.");
  EXPECT_EQ(wrong_bridge.evidence,
            "target_bridge_id=fake-bridge-1 handled_bridge_id=intruder "
            "handled_surface=cursor_agent_window handled_workspace_name=fake-workspace "
            "handled_workspace_uri=file:///fake/fake-workspace");

  bridge_.reset();
  start_bridge({"--watcher", "--result-surface", "cursor_editor"});
  const DeliveryResult wrong_surface = deliver_to_cursor_bridge(request(), options_);
  EXPECT_FALSE(wrong_surface.accepted);
  EXPECT_EQ(wrong_surface.error, "Cursor bridge result did not come from the agent window.");

  // An empty window that names no surface is the agent window, when chosen and when answering.
  bridge_.reset();
  start_bridge({"--watcher", "--surface", "", "--workspace-name", "Cursor Empty Window"});
  const DeliveryResult empty_window = deliver_to_cursor_bridge(request(), options_);
  EXPECT_TRUE(empty_window.accepted) << empty_window.error << empty_window.evidence;
}

TEST_F(CursorDeliveryTest, AnyAcceptorCountsAndOtherStatusesCarryTheDetails) {
  start_bridge({"--watcher", "--status", "accepted_by_user_interface"});
  EXPECT_TRUE(deliver_to_cursor_bridge(request(), options_).accepted);

  bridge_.reset();
  start_bridge({"--watcher", "--status", "rejected"});
  const DeliveryResult rejected = deliver_to_cursor_bridge(request(), options_);
  EXPECT_EQ(rejected.state, "failed");
  EXPECT_EQ(rejected.error, "fake bridge handled send_to_cursor_existing_composer");
  EXPECT_EQ(rejected.method, "tessik_cursor_bridge_multi_method");
}

TEST_F(CursorDeliveryTest, SilentBridgeCostsTheTimeOutAndLeavesACancellation) {
  start_bridge({"--watcher", "--silent"});
  options_.operation_timeout_ms = 300;
  options_.result_grace_ms = 200;
  const DeliveryResult result = deliver_to_cursor_bridge(request(), options_);
  EXPECT_EQ(result.state, "failed");
  EXPECT_EQ(result.error, "timed out waiting for Tessik Cursor bridge result");
  const std::string id = only_command()["command_id"];
  const fs::path cancellation = paths_.cancellation_file(id);
  EXPECT_EQ(result.evidence,
            "command_id=" + id + " command_file=" + paths_.command_file(id).string() +
                " result_file=" + paths_.result_file(id).string() +
                " trigger=cursor_bridge_command_watcher watcher_primary_available=true "
                "target_bridge_reason=selected_only_agent_window_bridge "
                "extension_id=tessik.tessik-cursor-bridge wait_detail=result_file_timeout "
                "cancellation_written=true cancellation_detail=cancellation_written path=" +
                cancellation.string());
  const json cancelled = json::parse(test::read_file(cancellation));
  EXPECT_EQ(cancelled["command_id"], id);
  EXPECT_EQ(cancelled["status"], "canceled");
  EXPECT_EQ(cancelled["reason"], "provider_result_wait_timeout");
  EXPECT_EQ(only_command()["timeout_ms"], 300);
}

TEST_F(CursorDeliveryTest, ExitedOrRestartedHostsAreNotLive) {
  start_bridge({"--watcher"});
  std::vector<CursorBridge> bridges = load_cursor_bridge_registry(paths_.registry_file).bridges;
  ASSERT_EQ(bridges.size(), 1u);
  EXPECT_TRUE(is_cursor_bridge_live(bridges[0]));
  bridge_.reset();  // the host process ends
  EXPECT_FALSE(is_cursor_bridge_live(bridges[0]));
  EXPECT_EQ(select_cursor_bridge(bridges, "send_to_cursor_existing_composer", composer_).reason,
            "no_live_cursor_agent_window_bridge_registered stale_or_unverifiable=1");

  start_bridge({"--watcher", "--start-offset-ms", "-30000"});
  bridges = load_cursor_bridge_registry(paths_.registry_file).bridges;
  EXPECT_FALSE(is_cursor_bridge_live(bridges[0]));
  // With no live bridge the command targets none and wakes Cursor through the URI.
  const DeliveryResult result = deliver_to_cursor_bridge(request(), options_);
  EXPECT_EQ(opened_.size(), 1u);
  EXPECT_TRUE(result.accepted) << result.error;  // the fake still answers; no bridge to check
  EXPECT_EQ(only_command()["target_bridge_id"], "");
}

}  // namespace
}  // namespace tessik
