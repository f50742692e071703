// The push delivery queue with a recording sender and a scripted resolver: the three files
// and their key order, deduplication, retries, dead letters, the delivery policy, the post's
// headers, and queue files damaged by garbage or a cut line.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

#include "a2a/push/push_config_store.h"
#include "a2a/push/push_delivery.h"
#include "a2a/push/push_policy.h"
#include "a2a/tasks/task_push_payloads.h"
#include "support/jsonl_reader.h"
#include "support/task_fixtures.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

using nlohmann::json;
using test::read_file;
using test::read_jsonl;

struct Post {
  std::string url;
  std::string payload;
  HttpHeaders headers;
};

// The keys of a JSON object text in the order written.
std::vector<std::string> keys_of(const std::string& text) {
  std::vector<std::string> keys;
  const nlohmann::ordered_json ordered = nlohmann::ordered_json::parse(text);
  for (const auto& item : ordered.items())
    keys.push_back(item.key());
  return keys;
}

class PushDeliveryTest : public ::testing::Test {
 protected:
  PushDeliveryTest() {
    test::use_push_files_in(context_, env_.state_dir() / "a2a");
    context_.push_sender = [this](const std::string& url, const std::string& payload,
                                  const HttpHeaders& headers) {
      posts_.push_back({url, payload, headers});
      HttpResponse response;
      response.status_code = status_;
      return response;
    };
    context_.push_resolver = [this](const std::string& host) {
      resolved_hosts_.push_back(host);
      return resolution_;
    };
    resolution_.addresses = {"93.184.216.34"};
    task_ = test::stored_task("task-1", "client-a", "2026-01-01T00:00:01Z");
  }

  PushConfig add_config(const std::string& id,
                        const std::string& url = "https://hooks.example.com/cb") {
    PushConfig config;
    config.task_id = task_.id;
    config.id = id;
    config.url = url;
    append_push_config(context_.push_configs_path, config);
    return config;
  }

  std::vector<json> pending() const { return read_jsonl(context_.push_pending_path); }
  std::vector<json> attempts() const { return read_jsonl(context_.push_delivery_path); }
  std::vector<json> dead_letters() const { return read_jsonl(context_.push_dead_letter_path); }

  test::TempEnv env_;
  GatewayContext context_;
  TaskRecord task_;
  std::vector<Post> posts_;
  std::uint32_t status_ = 204;
  A2aDnsResolveResult resolution_;
  std::vector<std::string> resolved_hosts_;
};

TEST_F(PushDeliveryTest, DeliversEachDocumentOnceWithFixedKeyOrder) {
  add_config("cfg-1");
  const PushRunSummary summary = enqueue_task_push(context_, task_);
  EXPECT_EQ(summary.attempted, 2);  // snapshot and status update: the task has no reply
  EXPECT_EQ(summary.delivered, 2);
  ASSERT_EQ(posts_.size(), 2u);
  const std::vector<std::string> payloads = build_task_push_payloads(task_);
  EXPECT_EQ(posts_[0].payload, payloads[0]);
  EXPECT_EQ(posts_[1].payload, payloads[1]);

  const std::vector<json> queue = pending();
  ASSERT_EQ(queue.size(), 4u);  // two new records, then two delivered ones
  const std::string queue_text = read_file(context_.push_pending_path);
  EXPECT_EQ(keys_of(queue_text.substr(0, queue_text.find('\n'))),
            (std::vector<std::string>{"deliveryId", "updatedAt", "taskId", "configId", "callback",
                                      "payloadJson", "payloadSha256", "state", "attempt",
                                      "maxAttempts", "dueAtEpochMs", "statusCode"}));
  EXPECT_EQ(queue[0]["state"], "pending");
  EXPECT_EQ(queue[0]["attempt"], 0);
  EXPECT_EQ(queue[0]["maxAttempts"], 2);
  EXPECT_EQ(queue[0]["payloadJson"], payloads[0]);
  EXPECT_EQ(queue[0]["deliveryId"], push_delivery_id(" task-1 ", "cfg-1", payloads[0]));
  EXPECT_EQ(queue[2]["state"], "delivered");
  EXPECT_EQ(queue[2]["attempt"], 1);
  EXPECT_EQ(queue[2]["statusCode"], 204);

  const std::vector<json> log = attempts();
  ASSERT_EQ(log.size(), 2u);
  const std::string log_text = read_file(context_.push_delivery_path);
  EXPECT_EQ(keys_of(log_text.substr(0, log_text.find('\n'))),
            (std::vector<std::string>{"createdAt", "taskId", "configId", "callback", "attempt",
                                      "maxAttempts", "statusCode", "outcome"}));
  EXPECT_EQ(log[0]["outcome"], "delivered");
  EXPECT_TRUE(dead_letters().empty());

  // Headers: no Authorization without authentication; both id headers carry the delivery id.
  EXPECT_FALSE(posts_[0].headers.contains("Authorization"));
  EXPECT_EQ(posts_[0].headers.at("Idempotency-Key"), queue[0]["deliveryId"]);
  EXPECT_EQ(posts_[0].headers.at("X-Tessik-Push-Delivery-Id"), queue[0]["deliveryId"]);

  // The same task state again queues and sends nothing new.
  const PushRunSummary again = enqueue_task_push(context_, task_);
  EXPECT_EQ(again.attempted, 0);
  EXPECT_EQ(posts_.size(), 2u);
  EXPECT_EQ(pending().size(), 4u);
}

TEST_F(PushDeliveryTest, ReplyAddsTheArtifactUpdateAndEveryConfigurationGetsItsOwn) {
  add_config("cfg-1");
  add_config("cfg-2");
  task_.state = kTaskStateCompleted;
  task_.reply_body = "done";
  task_.reply_message_id = "r-1";
  EXPECT_EQ(enqueue_task_push(context_, task_).delivered, 6);
  ASSERT_EQ(posts_.size(), 6u);
  EXPECT_TRUE(posts_[2].payload.starts_with("{\"artifactUpdate\":"));
  EXPECT_EQ(posts_[0].payload, posts_[3].payload);
  EXPECT_NE(posts_[0].headers.at("Idempotency-Key"), posts_[3].headers.at("Idempotency-Key"));
}

TEST_F(PushDeliveryTest, FailedPostIsRetriedOnceThenDeadLettered) {
  add_config("cfg-1");
  status_ = 500;
  context_.push_deliveries_per_run = 1;
  const PushRunSummary first = enqueue_task_push(context_, task_);
  EXPECT_EQ(first.attempted, 1);
  EXPECT_EQ(first.retry_scheduled, 1);
  std::vector<json> log = attempts();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0]["outcome"], "retry_scheduled");
  EXPECT_EQ(log[0]["nextRetryAfter"], "100ms");
  EXPECT_EQ(log[0]["statusCode"], 500);
  const json retry = pending().back();
  EXPECT_EQ(retry["state"], "pending");
  EXPECT_EQ(retry["attempt"], 1);
  EXPECT_GE(retry["dueAtEpochMs"].get<std::int64_t>(),
            pending()[0]["dueAtEpochMs"].get<std::int64_t>() + 100);

  // Time passing is a later due time in the queue: a new last line for the same id.
  json due_now = retry;
  due_now["dueAtEpochMs"] = 0;
  std::ofstream(context_.push_pending_path, std::ios::app) << due_now.dump() << "\n";
  const std::string retried_id = retry["deliveryId"];
  const PushRunSummary second = run_push_deliveries(context_, 10, {retried_id});
  EXPECT_EQ(second.dead_lettered, 1);
  log = attempts();
  const json last = log.back();
  EXPECT_EQ(last["outcome"], "dead_letter");
  EXPECT_EQ(last["attempt"], 2);
  EXPECT_FALSE(last.contains("nextRetryAfter"));
  ASSERT_FALSE(dead_letters().empty());
  EXPECT_EQ(dead_letters().back(), last);
  // Final states are never attempted again.
  const std::size_t posted = posts_.size();
  EXPECT_EQ(run_push_deliveries(context_, 10, {retried_id}).attempted, 0);
  EXPECT_EQ(posts_.size(), posted);
}

TEST_F(PushDeliveryTest, MissingInvalidOrRefusedConfigurationDeadLettersWithoutPosting) {
  const PushConfig config = add_config("cfg-1");
  status_ = 503;
  context_.push_deliveries_per_run = 1;  // queue both documents, post only the first
  enqueue_task_push(context_, task_);
  ASSERT_EQ(posts_.size(), 1u);
  delete_push_config(context_.push_configs_path, task_.id, config.id);
  posts_.clear();
  const PushRunSummary summary = run_push_deliveries(context_, 10, {});
  EXPECT_EQ(summary.dead_lettered, 1);  // the untried document; the retry is not due yet
  EXPECT_TRUE(posts_.empty());
  EXPECT_EQ(dead_letters().back()["error"], "push notification config is missing or deleted");
  EXPECT_EQ(dead_letters().back()["attempt"], 1);

  // A name that resolves to a private address: refused before any connection.
  add_config("cfg-2");
  resolution_.addresses = {"10.1.2.3"};
  task_.state = kTaskStateCanceled;
  enqueue_task_push(context_, task_);
  EXPECT_TRUE(posts_.empty());
  EXPECT_EQ(resolved_hosts_.back(), "hooks.example.com");
  EXPECT_EQ(dead_letters().back()["error"],
            "HTTPS callback host resolved to a private or local address");
  EXPECT_EQ(dead_letters().back()["configId"], "cfg-2");
}

TEST_F(PushDeliveryTest, DeliveryPolicy) {
  PushConfig config;
  config.task_id = "t";
  config.id = "c";
  config.url = "https://hooks.example.com/cb";
  EXPECT_EQ(check_push_delivery_policy(config, context_).addresses, resolution_.addresses);
  for (const char* address : {"::1", "fe80::1", "::ffff:192.168.0.1", "not an address"}) {
    resolution_.addresses = {"8.8.8.8", address};
    EXPECT_EQ(check_push_delivery_policy(config, context_).error,
              "HTTPS callback host resolved to a private or local address")
        << address;
  }
  resolution_.addresses.clear();
  EXPECT_EQ(check_push_delivery_policy(config, context_).error,
            "callback host DNS resolution returned no usable addresses");
  resolution_.error = "resolver said no";
  EXPECT_EQ(check_push_delivery_policy(config, context_).error, "resolver said no");

  resolution_ = {{"127.0.0.1", "10.0.0.8"}, ""};
  config.url = "http://localhost:9/cb";
  EXPECT_EQ(check_push_delivery_policy(config, context_).error,
            "loopback HTTP callback host resolved to a non-loopback address");
  resolution_ = {{"127.0.0.1", "127.9.9.9"}, ""};
  EXPECT_TRUE(check_push_delivery_policy(config, context_).error.empty());

  config.url = "https://10.0.0.1/cb";
  EXPECT_EQ(check_push_delivery_policy(config, context_).error,
            "push notification url rejected by delivery policy");

  // A replacement sender without a replacement resolver: the URL policy alone decides.
  context_.push_resolver = nullptr;
  config.url = "https://hooks.example.com/cb";
  const A2aDnsResolveResult unresolved = check_push_delivery_policy(config, context_);
  EXPECT_TRUE(unresolved.error.empty());
  EXPECT_TRUE(unresolved.addresses.empty());
  EXPECT_EQ(resolve_callback_host("  ").error, "callback host is empty");
  EXPECT_EQ(resolve_callback_host("127.0.0.1").addresses, std::vector<std::string>{"127.0.0.1"});
  EXPECT_EQ(resolve_callback_host("name.invalid").error, "callback host DNS resolution failed");
}

TEST_F(PushDeliveryTest, AuthorizationCarriesSchemeAndCredentialsAndNoSecretReachesTheFiles) {
  PushConfig config;
  config.task_id = task_.id;
  config.id = "cfg-auth";
  config.url = "https://hooks.example.com/secret-path-segment?q=hidden-query";
  config.token = "bearer-token-secret";
  config.authentication = R"({"scheme":" Bearer ","credentials":" credential-secret "})";
  append_push_config(context_.push_configs_path, config);
  status_ = 500;
  context_.push_max_attempts = 1;  // fail straight into the dead-letter file as well
  enqueue_task_push(context_, task_);
  ASSERT_FALSE(posts_.empty());
  EXPECT_EQ(posts_[0].headers.at("Authorization"), "Bearer credential-secret");
  EXPECT_EQ(posts_[0].url, config.url);
  ASSERT_FALSE(dead_letters().empty());
  EXPECT_EQ(dead_letters()[0]["callback"].get<std::string>().substr(0, 18), "hooks.example.com#");

  for (const auto& entry : std::filesystem::recursive_directory_iterator(env_.state_dir())) {
    if (!entry.is_regular_file()) continue;
    const std::string text = read_file(entry.path());
    for (const char* secret :
         {"bearer-token-secret", "credential-secret", "secret-path-segment", "hidden-query"}) {
      EXPECT_EQ(text.find(secret), std::string::npos) << secret << " in " << entry.path();
    }
  }
}

TEST_F(PushDeliveryTest, GarbageAndACutLineInTheQueueLoseNoOtherDelivery) {
  add_config("cfg-1");
  status_ = 500;
  context_.push_deliveries_per_run = 0;  // queue only
  enqueue_task_push(context_, task_);
  const std::vector<json> queued = pending();
  ASSERT_EQ(queued.size(), 2u);
  {
    std::ofstream out(context_.push_pending_path, std::ios::app);
    out << "not json\n{\"deliveryId\":\"x\"}\n{\"deliveryId\":\"y\",\"taskId\":\"t\","
           "\"configId\":\"c\",\"url\":\"h#1\",\"state\":\"\",\"maxAttempts\":0}\n";
    out << R"({"deliveryId":"cut","taskId":"task-1","configId":"cfg-1","callback":"h#)";  // killed
  }
  const std::vector<PushDelivery> read = read_push_queue(context_.push_pending_path);
  ASSERT_EQ(read.size(), 3u);
  EXPECT_EQ(read[2].callback, "h#1");  // "url" stands in for a missing callback
  EXPECT_EQ(read[2].state, "pending");
  EXPECT_EQ(read[2].max_attempts, 1);

  // The next run appends after the cut line and every real delivery is still attempted.
  status_ = 204;
  context_.push_deliveries_per_run = 10;
  const PushRunSummary summary = run_push_deliveries(context_, 10, {});
  EXPECT_EQ(summary.delivered, 2);
  EXPECT_EQ(summary.dead_lettered, 1);  // "y" names no configuration
  const std::vector<PushDelivery> after = read_push_queue(context_.push_pending_path);
  int delivered = 0;
  for (const PushDelivery& record : after)
    delivered += record.state == "delivered";
  EXPECT_EQ(delivered, 2);
}

TEST_F(PushDeliveryTest, PendingOnlyReadsFollowTheLastLineWhateverItsLayout) {
  PushDelivery a;
  a.delivery_id = "id-a";
  a.task_id = "t";
  a.config_id = "c";
  a.callback = "h#1";
  a.payload_json = R"({"x":"\",\"state\":\"delivered\""})";  // a decoy inside the payload
  PushDelivery b = a;
  b.delivery_id = "id-b";
  PushDelivery c = a;
  c.delivery_id = "id-c";
  c.task_id = "t\\x";  // escapes send the line through the full parse
  std::string lines = push_queue_line(a, "T") + "\n" + push_queue_line(b, "T") + "\n" +
                      push_queue_line(c, "T") + "\n";
  // Later records in other layouts: a is final now, b is pending again, c is final.
  lines +=
      R"({"state":"delivered","deliveryId":"id-a","taskId":"t","configId":"c","callback":"h#1"})"
      "\n";
  lines += R"({ "deliveryId":"id-b","taskId":"t","configId":"c","callback":"h#1","attempt":1})"
           "\n";
  c.state = "dead_letter";
  lines += push_queue_line(c, "T") + "\n";
  test::write_file(context_.push_pending_path, lines);

  const std::vector<PushDelivery> pending_records =
      read_push_queue(context_.push_pending_path, {}, true);
  ASSERT_EQ(pending_records.size(), 1u);
  EXPECT_EQ(pending_records[0].delivery_id, "id-b");
  EXPECT_EQ(pending_records[0].attempt, 1);
  const std::vector<PushDelivery> all = read_push_queue(context_.push_pending_path);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].state, "delivered");
  EXPECT_EQ(all[2].state, "dead_letter");
  EXPECT_EQ(all[2].task_id, "t\\x");
  EXPECT_EQ(read_push_queue(context_.push_pending_path, {"id-c"}).size(), 1u);
}

// Pending reads and configuration lookups follow the files between looks: growth, a line
// still being written, a file rewritten in place and a file replaced.
TEST_F(PushDeliveryTest, LooksFollowTheFilesAcrossChanges) {
  const std::filesystem::path queue = context_.push_pending_path;
  PushDelivery a;
  a.delivery_id = "id-a";
  a.task_id = "t";
  a.config_id = "c";
  a.callback = "h#1";
  PushDelivery b = a;
  b.delivery_id = "id-b";
  auto pending_ids = [&] {
    std::vector<std::string> ids;
    for (const PushDelivery& record : read_push_queue(queue, {}, true))
      ids.push_back(record.delivery_id);
    return ids;
  };
  EXPECT_TRUE(pending_ids().empty());  // no file yet
  test::write_file(queue, push_queue_line(a, "T") + "\n");
  EXPECT_EQ(pending_ids(), std::vector<std::string>{"id-a"});
  // A line without its line break counts while it is the last one, and its record wins.
  a.state = "delivered";
  std::ofstream(queue, std::ios::app) << push_queue_line(b, "T") << "\n" << push_queue_line(a, "T");
  EXPECT_EQ(pending_ids(), std::vector<std::string>{"id-b"});
  std::ofstream(queue, std::ios::app) << "\n";
  EXPECT_EQ(pending_ids(), std::vector<std::string>{"id-b"});
  // Rewritten in place, longer than before: read again from the start.
  b.state = "dead_letter";
  a.state = "pending";
  a.error = "a longer line than before";
  test::write_file(queue, push_queue_line(b, "T") + "\n" + push_queue_line(a, "T") + "\n" +
                              push_queue_line(a, "T") + "\n");
  EXPECT_EQ(pending_ids(), std::vector<std::string>{"id-a"});
  std::filesystem::remove(queue);
  EXPECT_TRUE(pending_ids().empty());

  EXPECT_TRUE(read_task_push_configs(context_.push_configs_path, task_.id).empty());
  add_config("cfg-1");
  EXPECT_EQ(read_task_push_configs(context_.push_configs_path, task_.id).size(), 1u);
  std::filesystem::remove(context_.push_configs_path);
  EXPECT_TRUE(read_task_push_configs(context_.push_configs_path, task_.id).empty());
  add_config("cfg-2");
  ASSERT_EQ(read_task_push_configs(context_.push_configs_path, task_.id).size(), 1u);
}

TEST_F(PushDeliveryTest, QueueLineRoundTripAndOptionalError) {
  PushDelivery delivery;
  delivery.delivery_id = "d";
  delivery.task_id = "t";
  delivery.config_id = "c";
  delivery.callback = "h#0123";
  delivery.payload_json = R"({"task":{"id":"t\n"}})";
  delivery.payload_sha256 = "abc";
  delivery.attempt = 1;
  delivery.max_attempts = 3;
  delivery.due_at_epoch_ms = 1767225600123;
  delivery.status_code = 502;
  EXPECT_EQ(push_queue_line(delivery, "T").find("\"error\""), std::string::npos);
  delivery.error = "bad gateway";
  EXPECT_TRUE(
      push_queue_line(delivery, "T").ends_with(R"(,"statusCode":502,"error":"bad gateway"})"));
  EXPECT_EQ(parse_push_queue_line(push_queue_line(delivery, "T")), delivery);
  const std::string line = push_attempt_line(delivery, "T", "retry_scheduled", "5ms");
  EXPECT_EQ(keys_of(line).back(), "nextRetryAfter");
  const json attempt = json::parse(line);
  EXPECT_EQ(attempt["error"], "bad gateway");
}

}  // namespace
}  // namespace tessik
