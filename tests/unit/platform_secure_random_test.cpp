// Secrets from the system's generator have their full length, never repeat and cover every
// byte value.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "platform/secure_random.h"

namespace tessik::platform {
namespace {

bool is_lower_hex(const std::string& text) {
  return text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

TEST(SecureRandom, SecretsHaveTheirFullLengthAndNeverRepeat) {
  EXPECT_EQ(random_secret_bytes(0), "");
  EXPECT_EQ(random_secret_bytes(48).size(), 48u);
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string secret = random_secret_hex(32);
    ASSERT_EQ(secret.size(), 64u);
    ASSERT_TRUE(is_lower_hex(secret)) << secret;
    seen.insert(secret);
  }
  EXPECT_EQ(seen.size(), 200u);
  // Every byte value appears in a large draw: the source is not limited to a sub-range.
  const std::string bytes = random_secret_bytes(64 * 1024);
  std::set<unsigned char> values(bytes.begin(), bytes.end());
  EXPECT_EQ(values.size(), 256u);
}

}  // namespace
}  // namespace tessik::platform
