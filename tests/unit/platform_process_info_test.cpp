// Session id and executable path of the running process.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/executable_path.h"
#include "platform/session_id.h"

namespace tessik::platform {
namespace {

TEST(ProcessInfo, SessionIdIsStableAndNonZero) {
  const auto session = current_session_id();
  ASSERT_TRUE(session.has_value());
  EXPECT_NE(*session, 0u);
  EXPECT_EQ(current_session_id(), session);
}

TEST(ProcessInfo, ExecutablePathNamesThisProgram) {
  const std::filesystem::path path = current_executable_path();
  ASSERT_FALSE(path.empty());
  EXPECT_TRUE(path.is_absolute());
  EXPECT_TRUE(std::filesystem::is_regular_file(path));
  EXPECT_EQ(path.filename(), "tessik_unit_tests");
}

}  // namespace
}  // namespace tessik::platform
