// Session id and executable path of the running process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/executable_path.h"
#include "platform/session_id.h"
#include "support/temp_env.h"

namespace tessik::platform {
namespace {

TEST(ProcessInfo, SessionIdIsStableAndMatchesTheProcessSession) {
  const auto session = current_session_id();
  ASSERT_TRUE(session.has_value());
  EXPECT_EQ(current_session_id(), session);
  std::ifstream audit("/proc/self/sessionid");
  std::string audit_text;
  std::getline(audit, audit_text);
  if (audit_text.empty() || audit_text == "0" || audit_text == "4294967295") {
    EXPECT_EQ(*session, static_cast<std::uint32_t>(::getsid(0)));
  } else {
    EXPECT_EQ(std::to_string(*session), audit_text);
  }
}

// Per-user services and their clients fix the number through the environment.
TEST(ProcessInfo, SessionIdFromTheEnvironmentWinsAndMustBeANumber) {
  const auto natural = current_session_id();
  test::TempEnv env;
  env.set("TESSIK_SESSION_ID", "4242");
  EXPECT_EQ(current_session_id(), 4242u);
  env.set("TESSIK_SESSION_ID", "42x");
  EXPECT_EQ(current_session_id(), std::nullopt);
  env.set("TESSIK_SESSION_ID", "4294967296");  // beyond 32 bits
  EXPECT_EQ(current_session_id(), std::nullopt);
  env.set("TESSIK_SESSION_ID", "");
  EXPECT_EQ(current_session_id(), natural);
}

TEST(ProcessInfo, ExecutablePathNamesThisProgram) {
  const std::filesystem::path path = current_executable_path();
  ASSERT_FALSE(path.empty());
  EXPECT_TRUE(path.is_absolute());
  EXPECT_TRUE(std::filesystem::is_regular_file(path));
  EXPECT_EQ(path.filename(), "tessik_platform_tests");
}

}  // namespace
}  // namespace tessik::platform
