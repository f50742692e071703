// Session id and executable path of the running process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/executable_path.h"
#include "platform/session_id.h"

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

TEST(ProcessInfo, ExecutablePathNamesThisProgram) {
  const std::filesystem::path path = current_executable_path();
  ASSERT_FALSE(path.empty());
  EXPECT_TRUE(path.is_absolute());
  EXPECT_TRUE(std::filesystem::is_regular_file(path));
  EXPECT_EQ(path.filename(), "tessik_platform_tests");
}

}  // namespace
}  // namespace tessik::platform
