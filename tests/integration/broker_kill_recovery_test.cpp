// kill -9 during sends: the broker is killed at random points of 100 SendMessage requests and
// started again; afterwards every delivered message has a readable, settled task, nothing is
// left in the temporary or state directories, and all state is owner-only although the
// processes ran under umask 022.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "a2a/tasks/task_json.h"
#include "a2a/tasks/task_log.h"
#include "a2a/tasks/task_record.h"
#include "base/text.h"
#include "providers/mailbox/mailbox_store.h"
#include "state/state_dir.h"
#include "support/broker_process.h"
#include "support/build_paths.h"
#include "support/delivery_env.h"
#include "support/temp_env.h"
#include "wire/frame_client.h"

namespace tessik {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr int kSends = 100;

std::string send_envelope(int n) {
  const json body = {{"message",
                      {{"messageId", "kill-" + std::to_string(n)},
                       {"role", "ROLE_USER"},
                       {"parts", json::array({{{"text", "message " + std::to_string(n)}}})}}}};
  const json envelope = {
      {"version", 1},
      {"endpointUrl", "http://127.0.0.1:37661/a2a"},
      {"request",
       {{"method", "POST"},
        {"target", "/a2a/message:send"},
        {"headers", {{"Content-Type", "application/json"}, {"A2A-Version", "1.0"}}},
        {"body", body.dump()}}},
      {"principal",
       {{"authenticated", true},
        {"clientId", "kill-test"},
        {"senderAgent", "kill-test-client"},
        {"scopes", json::array({"agent.send", "task.read"})}}}};
  return envelope.dump();
}

// Restores the umask the test process had.
class Umask {
 public:
  explicit Umask(mode_t mask) : saved_(::umask(mask)) {}
  ~Umask() { ::umask(saved_); }

 private:
  mode_t saved_;
};

std::size_t count_stages(const std::vector<std::string>& names, const std::string& wanted) {
  return static_cast<std::size_t>(std::count(names.begin(), names.end(), wanted));
}

TEST(BrokerKillRecovery, KillsDuringSendsLeaveNothingHalfDone) {
  const Umask permissive(022);
  test::TempEnv env;
  env.set("TESSIK_SERVICE_UID", std::to_string(::getuid()));
  const fs::path tmp = test::use_delivery_executable(env, TESSIK_BINARY);
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  SCOPED_TRACE("seed " + std::to_string(seed));

  int sent = 0;
  int kills = 0;
  while (sent < kSends) {
    test::BrokerProcess broker;
    ASSERT_TRUE(broker.wait_until_serving()) << broker.stderr_text();
    // The killer fires after a random delay, somewhere inside one of the next few sends.
    const auto delay = std::chrono::microseconds(random() % 60'000);
    std::atomic<bool> done{false};
    std::thread killer([&] {
      const auto until = std::chrono::steady_clock::now() + delay;
      while (!done && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      if (!done) broker.send_signal(SIGKILL);
    });
    while (sent < kSends) {
      const BrokerExchange exchange = exchange_with_broker(test::BrokerProcess::socket_path(),
                                                           send_envelope(sent), 10'000'000'000);
      ++sent;
      if (exchange.step != "done") break;
    }
    done = true;
    killer.join();
    if (broker.wait_for_exit(std::chrono::seconds(10)) == 128 + SIGKILL) ++kills;
  }
  EXPECT_GT(kills, 0);

  // The next start settles what the kills left, then every worker finishes its delivery.
  {
    test::BrokerProcess broker;
    ASSERT_TRUE(broker.wait_until_serving()) << broker.stderr_text();
    const fs::path delivery_log = delivery_log_path();
    ASSERT_TRUE(test::wait_until(
        [&] {
          const auto names = test::stage_names(delivery_log, "delivery_worker");
          return test::files_in(tmp).empty() &&
                 count_stages(names, "delivery_worker_started") ==
                     count_stages(names, "provider_delivery_accepted") +
                         count_stages(names, "provider_delivery_failed");
        },
        std::chrono::seconds(120)))
        << "request files left: " << test::files_in(tmp).size();
    broker.send_signal(SIGTERM);
    ASSERT_EQ(broker.wait_for_exit(std::chrono::seconds(10)), 0) << broker.stderr_text();
  }

  std::map<std::string, TaskRecord> by_message;
  const fs::path task_log = env.state_dir() / "a2a" / "tasks.jsonl";
  for (const std::string& line : read_latest_task_lines(task_log)) {
    const std::optional<TaskRecord> task = parse_task_record(line);
    ASSERT_TRUE(task) << "unreadable task: " << line;
    EXPECT_TRUE(task->state == kTaskStateWorking || task->state == kTaskStateFailed)
        << task->id << " ended as " << task->state;
    by_message.emplace(task->message_id, *task);
  }
  const std::vector<MailboxMessage> messages = read_mailbox_messages(mailbox_messages_directory());
  EXPECT_GT(messages.size(), 0u);
  for (const MailboxMessage& message : messages) {
    const auto task = by_message.find(message.message_id);
    ASSERT_NE(task, by_message.end()) << "mailbox message without a task: " << message.message_id;
    EXPECT_EQ(task->second.state, kTaskStateWorking) << "delivered, yet its task says failed";
  }

  for (const fs::path& left : test::files_in(tmp))
    ADD_FAILURE() << "left behind: " << left;
  for (const auto& entry : fs::recursive_directory_iterator(env.state_dir())) {
    const std::string name = entry.path().filename().string();
    EXPECT_EQ(name.find(".tmp."), std::string::npos) << "temporary left: " << entry.path();
    if (entry.is_symlink()) continue;
    const auto mode = entry.status().permissions() & fs::perms::all;
    const auto expected = entry.is_directory() ? fs::perms::owner_all
                                               : fs::perms::owner_read | fs::perms::owner_write;
    EXPECT_EQ(mode, expected) << entry.path();
  }
}

TEST(BrokerKillRecovery, StartTightensStateThatIsOpenToOthers) {
  test::TempEnv env;
  env.set("TESSIK_SERVICE_UID", std::to_string(::getuid()));
  test::use_delivery_executable(env, TESSIK_BINARY);
  const fs::path state = env.state_dir();
  fs::create_directories(state / "mailbox" / "messages");
  fs::create_directories(state / "a2a");
  std::ofstream(state / "a2a" / "tasks.jsonl") << "";
  std::ofstream(state / "mailbox" / "messages" / "m.json") << "{}";
  for (const fs::path& dir : {state, state / "mailbox", state / "mailbox" / "messages"})
    ::chmod(dir.c_str(), 0755);
  ::chmod((state / "a2a" / "tasks.jsonl").c_str(), 0644);
  ::chmod((state / "mailbox" / "messages" / "m.json").c_str(), 0666);

  test::BrokerProcess broker;
  ASSERT_TRUE(broker.wait_until_serving()) << broker.stderr_text();
  broker.send_signal(SIGTERM);
  ASSERT_EQ(broker.wait_for_exit(std::chrono::seconds(10)), 0) << broker.stderr_text();

  struct stat info {};
  for (const fs::path& dir : {state, state / "mailbox", state / "mailbox" / "messages"}) {
    ASSERT_EQ(::stat(dir.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u) << dir;
  }
  for (const fs::path& file :
       {state / "a2a" / "tasks.jsonl", state / "mailbox" / "messages" / "m.json"}) {
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << file;
  }
}

}  // namespace
}  // namespace tessik
