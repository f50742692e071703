// The listing layout of the user-facing modes (terminal and pipe), previews of hostile text,
// query encoding, and following one message through the delivery log for `send --wait`.
#include <gtest/gtest.h>

#include <fstream>

#include "app/broker_client.h"
#include "app/cli/cli_output.h"
#include "app/cli/send_wait.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

TEST(CliOutput, TablesAlignOnATerminalAndStayTabSeparatedInPipes) {
  const CliTable table{{"ID", "NAME", "NOTE"},
                       {{"a1", "Zoë", "x"}, {"b22", "line\nbreak\ttab", "y"}}};
  // Widths count characters, not bytes: "Zoë" is three columns wide.
  EXPECT_EQ(render_table(table, true),
            "ID   NAME            NOTE\n"
            "a1   Zoë             x\n"
            "b22  line break tab  y\n");
  EXPECT_EQ(render_table(table, false), "a1\tZoë\tx\nb22\tline break tab\ty\n");
  EXPECT_EQ(render_table(CliTable{{"ID"}, {}}, true), "ID\n");
}

TEST(CliOutput, PreviewsAreOneLineAndCutOnCharacterBoundaries) {
  EXPECT_EQ(single_line("a\x1b[2Jb\x7f\r\n"), "a [2Jb   ");
  EXPECT_EQ(preview_text("  short  ", 10), "short");
  EXPECT_EQ(preview_text("abcdefgh", 5), "abcde...");
  // "é" is two bytes; a cut inside it steps back before it.
  EXPECT_EQ(preview_text("abcdé", 5), "abcd...");
  EXPECT_EQ(preview_text("abcdéf", 6), "abcdé...");
}

TEST(CliOutput, QueryValuesKeepOnlyUnreservedCharacters) {
  EXPECT_EQ(query_value("Agent Five/&=?é"), "Agent%20Five%2F%26%3D%3F%C3%A9");
  EXPECT_EQ(query_value("a-b_c.d~9"), "a-b_c.d~9");
  GatewayResponse error;
  error.body = R"({"error":{"code":404,"message":"Task not found"}})";
  EXPECT_EQ(gateway_error_message(error), "Task not found");
  error.body = " plain text ";
  EXPECT_EQ(gateway_error_message(error), "plain text");
}

class DeliveryWaitTest : public ::testing::Test {
 protected:
  test::TempEnv env;
  std::filesystem::path log = env.root() / "delivery.jsonl";

  void append(const std::string& line) { std::ofstream(log, std::ios::app) << line << "\n"; }
  static std::string stage(const std::string& id, const std::string& name, bool ok,
                           const std::string& source = "delivery_worker") {
    return R"({"event_type":"delivery_stage","message_id":")" + id + R"(","stage":")" + name +
           R"(","result":")" + (ok ? "ok" : "error") + R"(","detail":"d-)" + name +
           R"(","source":")" + source + "\"}";
  }
};

TEST_F(DeliveryWaitTest, DecidesOnTheWorkersRecordOfThisMessageOnly) {
  append("not json at all m-1");
  append(stage("m-2", "provider_delivery_failed", false));  // another message
  append(stage("m-1", "delivery_worker_started", true));
  append(stage("m-1", "delivery_worker_handoff_started", true, "message_pipeline"));
  append(stage("m-1", "provider_delivery_accepted", true));
  const DeliveryWaitResult delivered = wait_for_delivery_outcome(log, "m-1", 1'000'000'000);
  EXPECT_TRUE(delivered.finished);
  EXPECT_TRUE(delivered.delivered);
  EXPECT_EQ(delivered.stage, "provider_delivery_accepted");
  EXPECT_EQ(delivered.detail, "d-provider_delivery_accepted");

  const DeliveryWaitResult failed = wait_for_delivery_outcome(log, "m-2", 1'000'000'000);
  EXPECT_TRUE(failed.finished);
  EXPECT_FALSE(failed.delivered);

  append(stage("m-3", "delivery_worker_handoff_failed", false, "message_pipeline"));
  const DeliveryWaitResult handoff = wait_for_delivery_outcome(log, "m-3", 1'000'000'000);
  EXPECT_TRUE(handoff.finished);
  EXPECT_FALSE(handoff.delivered);
  EXPECT_EQ(handoff.stage, "delivery_worker_handoff_failed");
}

TEST_F(DeliveryWaitTest, GivesUpWithoutAnOutcomeAndToleratesAMissingLog) {
  const DeliveryWaitResult missing = wait_for_delivery_outcome(log, "m-1", 100'000'000);
  EXPECT_FALSE(missing.finished);
  append(stage("m-1", "delivery_worker_started", true));
  const DeliveryWaitResult open = wait_for_delivery_outcome(log, "m-1", 100'000'000);
  EXPECT_FALSE(open.finished);
  EXPECT_FALSE(open.delivered);
}

}  // namespace
}  // namespace tessik
