// `tessik send` and `tessik delivery-worker` as real processes: a message travels from the
// command line through a detached worker into the mailbox spool, and bad worker input is
// answered with a failed result line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "pipeline/delivery_request.h"
#include "providers/mailbox/mailbox_store.h"
#include "state/state_dir.h"
#include "support/build_paths.h"
#include "support/command_run.h"
#include "support/delivery_env.h"
#include "support/jsonl_reader.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

using test::CommandRun;

class SendEndToEndTest : public ::testing::Test {
 protected:
  test::TempEnv env;
  fs::path tmp = test::use_delivery_executable(env, TESSIK_BINARY);

  CommandRun run(const std::string& args, const std::string& input = "") {
    return test::run_tessik(env.root(), args, input);
  }
  json result_line(const CommandRun& run) {
    EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << "exactly one line: " << run.out;
    return json::parse(run.out);
  }
};

TEST_F(SendEndToEndTest, MailboxSendIsStoredByTheDetachedWorker) {
  const CommandRun sent = run("send --json --to mailbox --from alice hello");
  ASSERT_EQ(sent.code, 0) << sent.out << sent.err;
  const json outcome = json::parse(sent.out);
  EXPECT_EQ(outcome["status"], "accepted_by_tessik");
  EXPECT_EQ(outcome["accepted"], true);
  EXPECT_EQ(outcome["target"], "Tessik Mailbox");
  EXPECT_EQ(outcome["provider"], "tessik_mailbox");
  const std::string message_id = outcome["message_id"];

  const fs::path request_file = tmp / ("tessik-delivery-worker-" + message_id + ".json");
  ASSERT_TRUE(test::wait_until([&] {
    return test::stage_names(delivery_log_path(), "delivery_worker").size() == 3 &&
           !fs::exists(request_file);
  })) << test::read_file(delivery_log_path());

  const std::vector<MailboxMessage> stored = read_mailbox_messages(mailbox_messages_directory());
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(stored[0].message_id, message_id);
  EXPECT_EQ(stored[0].sender_name, "alice");
  EXPECT_EQ(stored[0].final_visible_body,
            "Message from unresolved Tessik sender:\n\nhello\n\nTESSIK WARNING: Tessik could not "
            "resolve an exact sender session address, so no send-back command is attached.");

  EXPECT_EQ(
      test::stage_names(delivery_log_path(), "message_pipeline"),
      (std::vector<std::string>{"accepted", "target_resolved", "normalization_contract_validated",
                                "route_resolved", "delivery_worker_handoff_started"}));
  EXPECT_EQ(test::stage_names(delivery_log_path(), "delivery_worker"),
            (std::vector<std::string>{"delivery_worker_started", "final_visible_body_validated",
                                      "provider_delivery_accepted"}));
  for (const json& record : test::read_events(delivery_log_path(), "delivery_stage")) {
    EXPECT_EQ(record["message_id"], message_id);
    EXPECT_EQ(record["result"], "ok");
  }
  // The worker's trail starts only after the pipeline's receipt.
  const auto all = test::read_events(delivery_log_path(), "delivery_stage");
  std::size_t route = 0, worker_start = 0;
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (all[i]["stage"] == "route_resolved") route = i;
    if (all[i]["stage"] == "delivery_worker_started") worker_start = i;
  }
  EXPECT_LT(route, worker_start);
  EXPECT_TRUE(test::files_in(tmp).empty());
}

TEST_F(SendEndToEndTest, WhatTheCommandAndTheWorkerWriteIsOwnerOnlyUnderUmask022) {
  const mode_t saved = ::umask(022);
  const CommandRun sent = run("send --json --to mailbox --from alice private words");
  ::umask(saved);
  ASSERT_EQ(sent.code, 0) << sent.out << sent.err;
  ASSERT_TRUE(test::wait_until([&] {
    return test::stage_names(delivery_log_path(), "delivery_worker").size() == 3;
  })) << test::read_file(delivery_log_path());
  ASSERT_EQ(read_mailbox_messages(mailbox_messages_directory()).size(), 1u);

  std::size_t checked = 0;
  for (const auto& entry : fs::recursive_directory_iterator(env.state_dir())) {
    struct stat info {};
    ASSERT_EQ(::lstat(entry.path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, S_ISDIR(info.st_mode) ? 0700u : 0600u) << entry.path();
    ++checked;
  }
  EXPECT_GE(checked, 8u);  // registry, logs, mailbox message and their directories
}

TEST_F(SendEndToEndTest, CommandLineRefusalsAndArguments) {
  const CommandRun unknown = run("send --to nobody --from alice hi");
  EXPECT_EQ(unknown.code, 1);
  EXPECT_NE(unknown.out.find("status: failed\n"), std::string::npos) << unknown.out;
  EXPECT_NE(unknown.out.find("error: target is not in registry after targeted discovery."),
            std::string::npos);

  // A command line without a sender or a text is a usage error: nothing is sent.
  const CommandRun no_sender = run("send --json --to mailbox", "from stdin\n");
  EXPECT_EQ(no_sender.code, 2);
  EXPECT_EQ(no_sender.out, "");
  EXPECT_TRUE(no_sender.err.starts_with("tessik send: --from SENDER is required\n"));

  const CommandRun empty = run("send --json --to mailbox --from alice", "  \n");
  EXPECT_EQ(empty.code, 2);
  EXPECT_TRUE(empty.err.starts_with("tessik send: the message text is empty\n"));

  EXPECT_EQ(run("send --to mailbox --from alice --bogus hi").code, 2);
  EXPECT_TRUE(read_mailbox_messages(mailbox_messages_directory()).empty());
}

TEST_F(SendEndToEndTest, WorkerAnswersBadRequestsWithAFailedLine) {
  const CommandRun missing =
      run("delivery-worker --request '" + (tmp / "absent.json").string() + "'");
  EXPECT_EQ(missing.code, 1);
  const json missing_line = result_line(missing);
  EXPECT_EQ(missing_line["type"], "delivery_worker_result");
  EXPECT_EQ(missing_line["state"], "failed");
  EXPECT_EQ(missing_line["accepted"], false);
  EXPECT_EQ(missing_line["method_used"], "delivery_worker_request_invalid");
  EXPECT_EQ(missing_line["error"],
            "could not read delivery worker request: " + (tmp / "absent.json").string());

  const fs::path malformed = tmp / "malformed.json";
  std::ofstream(malformed) << "{\"type\":\"delivery_worker_request\",";
  const CommandRun bad = run("delivery-worker --request '" + malformed.string() + "'");
  EXPECT_EQ(bad.code, 1);
  EXPECT_TRUE(result_line(bad)["error"].get<std::string>().starts_with(
      "delivery worker request is not valid JSON"));
  EXPECT_TRUE(fs::exists(malformed));  // not a request of ours: left alone
  EXPECT_EQ(test::stage_names(delivery_log_path(), "delivery_worker"),
            (std::vector<std::string>{"delivery_worker_request_rejected",
                                      "delivery_worker_request_rejected"}));

  const CommandRun no_args = run("delivery-worker");
  EXPECT_EQ(no_args.code, 2);
  EXPECT_EQ(result_line(no_args)["error"], "delivery-worker requires --request FILE");
}

TEST_F(SendEndToEndTest, WorkerValidatesAndReportsProvidersItCannotReach) {
  DeliveryRequest request;
  request.message_id = "m-1";
  request.target.provider = "claude_code_cli";
  request.target.display_name = "Claude";
  request.final_visible_body = "hello";
  const fs::path file = tmp / "r1.json";

  write_delivery_request(file, request, "deliver");
  const CommandRun validated =
      run("delivery-worker --validate-only --request '" + file.string() + "'");
  EXPECT_EQ(validated.code, 0);
  EXPECT_EQ(result_line(validated)["state"], "validated");
  EXPECT_EQ(result_line(validated)["message_id"], "m-1");
  EXPECT_FALSE(fs::exists(file));

  request.final_visible_body = " \n ";
  write_delivery_request(file, request, "deliver");
  const CommandRun blank = run("delivery-worker --request '" + file.string() + "'");
  EXPECT_EQ(blank.code, 1);
  EXPECT_EQ(result_line(blank)["error"], "final visible body is empty");
  EXPECT_EQ(result_line(blank)["method_used"], "final_visible_body_invalid");

  // A row without its normalization proof, then a sound one the adapter cannot resume.
  request.final_visible_body = "hello";
  write_delivery_request(file, request, "deliver");
  EXPECT_EQ(result_line(run("delivery-worker --request '" + file.string() + "'"))["method_used"],
            "normalization_contract_rejected");
  request.target.agent_id = "a1";
  request.target.provider_session_id = "claude-session";
  request.target.node_id = "local";
  request.target.delivery_verification_source = "test_seed_proof";
  write_delivery_request(file, request, "deliver");
  const CommandRun unreachable = run("delivery-worker --request '" + file.string() + "'");
  EXPECT_EQ(unreachable.code, 1);
  const json line = result_line(unreachable);
  EXPECT_EQ(line["state"], "failed");
  EXPECT_EQ(line["method_used"], "claude_cli_print_resume");
  EXPECT_EQ(line["error"], "Claude provider session id is missing claude_code_cli:session:<uuid>");
  const auto failed = test::stage_records(delivery_log_path(), "provider_delivery_failed");
  ASSERT_EQ(failed.size(), 2u);
  EXPECT_EQ(failed[1]["provider"], "claude_code_cli");
  EXPECT_EQ(failed[1]["result"], "error");
  EXPECT_FALSE(fs::exists(file));
}

}  // namespace
}  // namespace tessik
