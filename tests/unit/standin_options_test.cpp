// The stand-in's command line: the listen address, the session and the broker's user.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "standin/api_service_command.h"

namespace tessik {
namespace {

TEST(ApiServiceOptions, ListenAndSession) {
  ApiServiceOptions options;
  std::string error;
  ASSERT_TRUE(
      parse_api_service_options({"--listen", "127.0.0.2:4000", "--session=77"}, options, error));
  EXPECT_EQ(options.host, "127.0.0.2");
  EXPECT_EQ(options.port, 4000);
  EXPECT_EQ(options.session_id, 77u);
  for (const std::vector<std::string>& bad :
       std::vector<std::vector<std::string>>{{"--listen", "127.0.0.1"},
                                             {"--listen=:80"},
                                             {"--listen=h:70000"},
                                             {"--session", "0"},
                                             {"--session=x"},
                                             {"--listen"},
                                             {"--verbose"}}) {
    ApiServiceOptions fresh;
    EXPECT_FALSE(parse_api_service_options(bad, fresh, error)) << bad[0];
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace tessik
