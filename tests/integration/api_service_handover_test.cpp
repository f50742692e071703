// `tessik api-service` becomes the tessik-api-service program beside it: same process, same
// options, and a clear failure when the program is not there.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "support/broker_process.h"
#include "support/build_paths.h"
#include "support/gateway_stack.h"
#include "support/temp_env.h"

namespace tessik {
namespace {

TEST(ApiServiceHandover, TheModeBecomesTheStandInProgramInTheSameProcess) {
  test::TempEnv env;
  env.set("TESSIK_SERVICE_UID", std::to_string(::getuid()));
  test::BrokerProcess broker({"broker"});
  ASSERT_TRUE(broker.wait_until_serving()) << broker.stderr_text();
  const std::uint16_t port = test::free_loopback_port();
  test::BrokerProcess stand_in({"api-service", "--listen", "127.0.0.1:" + std::to_string(port)});

  httplib::Client client("127.0.0.1", port);
  httplib::Result card = client.Get("/a2a/.well-known/agent-card.json");
  for (int attempt = 0; attempt < 500 && !card && stand_in.running(); ++attempt) {
    ::usleep(20'000);
    card = client.Get("/a2a/.well-known/agent-card.json");
  }
  ASSERT_TRUE(card) << stand_in.stderr_text();
  EXPECT_EQ(card->status, 200);
  EXPECT_EQ(card->get_header_value("Tessik-Api-Service-Instance").size(), 32u);

  // The process that was started is now the stand-in program itself, not a parent of it.
  const std::filesystem::path image =
      std::filesystem::read_symlink("/proc/" + std::to_string(stand_in.pid()) + "/exe");
  EXPECT_EQ(image, std::filesystem::canonical(TESSIK_API_SERVICE_BINARY));
  stand_in.send_signal(SIGTERM);
  EXPECT_EQ(stand_in.wait_for_exit(), 0);
}

TEST(ApiServiceHandover, AMissingStandInProgramIsReportedWithItsPath) {
  test::TempEnv env;
  // A copy of tessik alone in a folder: the stand-in program is not beside it.
  const std::filesystem::path lonely = env.root() / "bin" / "tessik";
  std::filesystem::create_directories(lonely.parent_path());
  std::filesystem::copy_file(TESSIK_BINARY, lonely);
  std::filesystem::permissions(lonely, std::filesystem::perms::owner_all);

  test::BrokerProcess run(lonely.string(), {"api-service", "--listen", "127.0.0.1:1"});
  EXPECT_EQ(run.wait_for_exit(), 1);
  const std::string expected =
      "tessik api-service: cannot start " + (lonely.parent_path() / "tessik-api-service").string();
  EXPECT_NE(run.stderr_text().find(expected), std::string::npos) << run.stderr_text();
  EXPECT_NE(run.stderr_text().find("No such file"), std::string::npos) << run.stderr_text();
}

}  // namespace
}  // namespace tessik
