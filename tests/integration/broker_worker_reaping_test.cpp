// The broker's delivery workers end reaped: after a thousand stored sends no worker is left a
// zombie of the broker, and none was handed to another parent unreaped.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/broker_process.h"
#include "support/build_paths.h"
#include "support/delivery_env.h"
#include "support/send_envelope.h"
#include "support/temp_env.h"
#include "wire/frame_client.h"

namespace tessik {
namespace {

constexpr int kSends = 1000;

struct ProcessEntry {
  int pid = 0;
  int parent = 0;
  int session = 0;
  char state = 0;
  unsigned long long start_ticks = 0;  // since boot
  std::string command_line;  // arguments joined by blanks
};

std::vector<ProcessEntry> process_table() {
  std::vector<ProcessEntry> table;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) continue;
    // After the name: state, parent, group, session, ..., start time (the 20th field).
    std::istringstream fields(text.substr(close + 1));
    ProcessEntry process;
    process.pid = std::stoi(name);
    int group = 0;
    fields >> process.state >> process.parent >> group >> process.session;
    std::string skipped;
    for (int field = 0; field < 15; ++field) fields >> skipped;
    fields >> process.start_ticks;
    if (!fields) continue;
    std::ifstream cmdline(entry.path() / "cmdline");
    std::string args((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
    for (char& c : args) {
      if (c == '\0') c = ' ';
    }
    process.command_line = args;
    table.push_back(process);
  }
  return table;
}

// Children of the broker, and zombies that may have been its delivery workers: a zombie keeps
// no command line, so those are the session leaders started after the broker that now belong
// to init or to a subreaper running a worker.
struct Leftovers {
  std::vector<int> broker_children;
  std::vector<int> broker_zombies;
  std::vector<int> orphan_worker_zombies;
};

Leftovers leftovers_of(const ProcessEntry& broker) {
  Leftovers found;
  const std::vector<ProcessEntry> table = process_table();
  for (const ProcessEntry& process : table) {
    if (process.parent == broker.pid) {
      found.broker_children.push_back(process.pid);
      if (process.state == 'Z') found.broker_zombies.push_back(process.pid);
      continue;
    }
    if (process.state != 'Z' || process.session != process.pid ||
        process.start_ticks < broker.start_ticks)
      continue;
    // Re-parented from the broker: adopted by init or by a subreaper running a worker.
    for (const ProcessEntry& parent : table) {
      if (parent.pid != process.parent) continue;
      if (parent.pid == 1 || parent.command_line.find("delivery-worker") != std::string::npos)
        found.orphan_worker_zombies.push_back(process.pid);
    }
  }
  return found;
}

TEST(BrokerWorkerReaping, AThousandSendsLeaveNoZombieWorker) {
  test::TempEnv env;
  env.set("TESSIK_SERVICE_UID", std::to_string(::getuid()));
  env.set("TESSIK_EXE", TESSIK_BINARY);
  test::BrokerProcess broker;
  ASSERT_TRUE(broker.wait_until_serving()) << broker.stderr_text();
  ProcessEntry broker_entry;
  for (const ProcessEntry& process : process_table()) {
    if (process.pid == broker.pid()) broker_entry = process;
  }
  ASSERT_EQ(broker_entry.pid, broker.pid());

  const std::filesystem::path socket = test::BrokerProcess::socket_path();
  for (int i = 0; i < kSends; ++i) {
    const BrokerExchange exchange = exchange_with_broker(
        socket, test::mailbox_send_envelope("reap-" + std::to_string(i), "reaped"), 30'000'000'000);
    ASSERT_EQ(exchange.step, "done") << "send " << i;
    ASSERT_NE(exchange.response.find("TASK_STATE_WORKING"), std::string::npos)
        << "send " << i << ": " << exchange.response;
  }
  const std::filesystem::path spool = env.state_dir() / "mailbox" / "messages";
  ASSERT_EQ(test::wait_for_mailbox_files(spool, kSends, std::chrono::seconds(300)),
            static_cast<std::size_t>(kSends));

  // Every worker has stored its message; the ones still finishing end within moments, and
  // the broker's loop comes round at least once a second to collect them.
  // Init reaps its adoptees too, so an orphan zombie of another program is as short-lived.
  Leftovers after;
  test::wait_until(
      [&] {
        after = leftovers_of(broker_entry);
        return after.broker_children.empty() && after.orphan_worker_zombies.empty();
      },
      std::chrono::seconds(60));
  EXPECT_TRUE(after.broker_children.empty()) << after.broker_children.size() << " children left, "
                                             << after.broker_zombies.size() << " of them zombies";
  EXPECT_TRUE(after.broker_zombies.empty());
  EXPECT_TRUE(after.orphan_worker_zombies.empty())
      << after.orphan_worker_zombies.size() << " re-parented zombies";
  EXPECT_TRUE(broker.running());
}

}  // namespace
}  // namespace tessik
