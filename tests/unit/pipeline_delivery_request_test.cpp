// The delivery worker request file: exact bytes, file names, and reading it back.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <vector>

#include "pipeline/delivery_request.h"
#include "support/delivery_env.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;

DeliveryRequest sample_request() {
  DeliveryRequest r;
  r.test_id = "t1";
  r.message_id = "m1";
  r.target.agent_id = "a";
  r.target.public_agent_id = "pa";
  r.target.display_name = "Name \"quoted\"";
  r.target.provider = "tessik_mailbox";
  r.target.provider_session_id = "tessik_mailbox:default";
  r.target.node_id = "local";
  r.target.normalization_schema = "s";
  r.target.provider_surface = "sf";
  r.target.delivery_binding = "db";
  r.target.response_identity_binding = "rb";
  r.target.delivery_verification_source = "vs";
  r.sender.resolved = true;
  r.sender.sender = "alice";
  r.sender.sender_session_id = "reply";
  r.sender.node_id = "n";
  r.sender.source = "explicit_agent";
  r.live_upstream_outbox_path = "/o";
  r.model_vendor = "mv";
  r.model_id = "mi";
  r.model_family = "mf";
  r.requested_delivery_method = "rm";
  r.source_context = "cli";
  r.final_visible_body = "line1\nline2\t\\end\x01";
  r.callback_expected = false;
  r.strict = true;
  return r;
}

TEST(DeliveryRequestFile, LineHasEveryKeyInOrderAsEscapedStrings) {
  EXPECT_EQ(
      format_delivery_request(sample_request(), "deliver"),
      "{\"type\":\"delivery_worker_request\",\"mode\":\"deliver\",\"test_id\":\"t1\","
      "\"message_id\":\"m1\",\"target_agent_id\":\"a\",\"target_public_agent_id\":\"pa\","
      "\"target_display_name\":\"Name \\\"quoted\\\"\",\"target_provider\":\"tessik_mailbox\","
      "\"target_provider_session_id\":\"tessik_mailbox:default\",\"target_node_id\":\"local\","
      "\"target_normalization_schema\":\"s\",\"target_provider_surface\":\"sf\","
      "\"target_delivery_binding\":\"db\",\"target_response_identity_binding\":\"rb\","
      "\"target_delivery_verification_source\":\"vs\",\"sender_resolved\":\"true\","
      "\"sender_agent\":\"alice\",\"sender_reply_address\":\"reply\",\"sender_node\":\"n\","
      "\"sender_source\":\"explicit_agent\",\"live_upstream_outbox_path\":\"/o\","
      "\"model_vendor\":\"mv\",\"model_id\":\"mi\",\"model_family\":\"mf\","
      "\"requested_delivery_method\":\"rm\",\"source_context\":\"cli\","
      "\"final_visible_body\":\"line1\\nline2\\t\\\\end\\u0001\","
      "\"callback_expected\":\"false\",\"strict\":\"true\"}\n");
}

TEST(DeliveryRequestFile, NamesAreSanitisedAndBlankIdsGetAFreshOne) {
  test::TempEnv env;
  const fs::path tmp = test::use_delivery_executable(env, "/unused");
  EXPECT_EQ(delivery_request_path("abc.def:ghi/j k"),
            tmp / "tessik-delivery-worker-abc-def-ghi-j-k.json");
  EXPECT_EQ(delivery_request_path("\xc3\xa9x").filename(), "tessik-delivery-worker---x.json");
  const std::string fresh = delivery_request_path("").filename().string();
  EXPECT_TRUE(std::regex_match(fresh, std::regex("tessik-delivery-worker-[0-9a-f]{32}\\.json")))
      << fresh;
  EXPECT_NE(fresh, delivery_request_path("").filename().string());
  env.unset("TMPDIR");
  EXPECT_EQ(delivery_request_path("x").parent_path(), fs::path("/tmp"));
}

TEST(DeliveryRequestFile, WritesPrivateFileAndReadsItBack) {
  test::TempEnv env;
  const fs::path path = env.root() / "new" / "dir" / "request.json";
  const DeliveryRequest original = sample_request();
  write_delivery_request(path, original, "validate");
  EXPECT_EQ(test::read_file(path), format_delivery_request(original, "validate"));
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  const ParsedDeliveryRequest parsed = read_delivery_request(path);
  ASSERT_TRUE(parsed.ok) << parsed.error;
  EXPECT_EQ(parsed.mode, "validate");
  EXPECT_EQ(format_delivery_request(parsed.request, "validate"),
            format_delivery_request(original, "validate"));
  EXPECT_TRUE(parsed.request.target.enabled);
  EXPECT_TRUE(parsed.request.target.sendable);
}

TEST(DeliveryRequestFile, WriteFailuresThrowWithTheirMessages) {
  test::TempEnv env;
  const fs::path blocker = env.root() / "file";
  std::ofstream(blocker) << "x";
  try {
    write_delivery_request(blocker / "sub" / "r.json", sample_request(), "deliver");
    FAIL() << "expected a throw";
  } catch (const std::runtime_error& error) {
    EXPECT_TRUE(
        std::string(error.what()).starts_with("could not create delivery worker temp directory: "))
        << error.what();
  }
  const fs::path directory = env.root() / "adir";
  fs::create_directories(directory);
  EXPECT_THROW(
      try {
        write_delivery_request(directory, sample_request(), "deliver");
      } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "delivery worker request file already exists: " + directory.string());
        throw;
      },
      DeliveryRequestExistsError);
  // A directory where nothing can be created, even by root.
  try {
    write_delivery_request("/proc/self/r.json", sample_request(), "deliver");
    FAIL() << "expected a throw";
  } catch (const DeliveryRequestExistsError& error) {
    FAIL() << error.what();
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()),
              "could not write delivery worker request: /proc/self/r.json");
  }
}

TEST(DeliveryRequestFile, AnExistingNameIsNeverWrittenThroughOrOver) {
  test::TempEnv env;
  const fs::path victim = env.root() / "victim.txt";
  std::ofstream(victim) << "precious";
  const fs::path planted = env.root() / "planted.json";
  fs::create_symlink(victim, planted);
  EXPECT_THROW(write_delivery_request(planted, sample_request(), "deliver"),
               DeliveryRequestExistsError);
  EXPECT_EQ(test::read_file(victim), "precious");
  EXPECT_TRUE(fs::is_symlink(planted));

  const fs::path dangling = env.root() / "dangling.json";
  fs::create_symlink(env.root() / "would-be-created", dangling);
  EXPECT_THROW(write_delivery_request(dangling, sample_request(), "deliver"),
               DeliveryRequestExistsError);
  EXPECT_FALSE(fs::exists(env.root() / "would-be-created"));

  const fs::path older = env.root() / "older.json";
  std::ofstream(older) << "someone else's";
  EXPECT_THROW(write_delivery_request(older, sample_request(), "deliver"),
               DeliveryRequestExistsError);
  EXPECT_EQ(test::read_file(older), "someone else's");
}

TEST(DeliveryRequestFile, OneClaimantAtATimeAndAConsumedFileIsGoneForEveryone) {
  test::TempEnv env;
  const fs::path tmp = test::use_delivery_executable(env, "/unused");
  const fs::path path = delivery_request_path("m1");
  write_delivery_request(path, sample_request(), "deliver");
  const fs::path junk = tmp / "tessik-delivery-worker-junk.json";
  std::ofstream(junk) << "{not json";
  std::ofstream(tmp / "unrelated.json") << "{}";
  auto listed = list_delivery_request_files();
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<fs::path>{junk, path}));

  DeliveryRequestClaim first(path);
  ASSERT_EQ(first.claim(), DeliveryRequestClaim::Status::claimed);
  ASSERT_TRUE(first.parsed().ok) << first.parsed().error;
  EXPECT_EQ(first.parsed().request.message_id, "m1");
  DeliveryRequestClaim second(path);
  EXPECT_EQ(second.claim(), DeliveryRequestClaim::Status::busy);
  first.release();  // an unconsumed claim leaves the file for the next claimant
  EXPECT_EQ(second.claim(), DeliveryRequestClaim::Status::claimed);
  EXPECT_EQ(first.claim(), DeliveryRequestClaim::Status::busy);
  second.consume();
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(first.claim(), DeliveryRequestClaim::Status::gone);

  DeliveryRequestClaim broken(junk);
  ASSERT_EQ(broken.claim(), DeliveryRequestClaim::Status::claimed);
  EXPECT_FALSE(broken.parsed().ok);
}

TEST(DeliveryRequestFile, MalformedFilesAreFailedParsesNotCrashes) {
  const auto error_of = [](std::string_view text) {
    const ParsedDeliveryRequest parsed = parse_delivery_request(text);
    EXPECT_FALSE(parsed.ok) << text;
    return parsed.error;
  };
  EXPECT_TRUE(error_of("{not json").starts_with("delivery worker request is not valid JSON"));
  EXPECT_EQ(error_of("[1]"), "delivery worker request is not a JSON object");
  EXPECT_EQ(error_of(R"({"type":"delivery_worker_request","strict":true})"),
            "delivery worker request member 'strict' is not a string");
  EXPECT_EQ(error_of(R"({"type":"other","message_id":"m","target_provider":"p"})"),
            "delivery worker request has no type \"delivery_worker_request\"");
  EXPECT_EQ(
      error_of(R"({"type":"delivery_worker_request","message_id":" ","target_provider":"p"})"),
      "delivery worker request lacks message_id or target_provider");
  EXPECT_TRUE(error_of("").starts_with("delivery worker request is not valid JSON"));
  const ParsedDeliveryRequest missing = read_delivery_request("/nonexistent/r.json");
  EXPECT_FALSE(missing.ok);
  EXPECT_EQ(missing.error, "could not read delivery worker request: /nonexistent/r.json");
}

}  // namespace
}  // namespace tessik
