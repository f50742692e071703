// SHA-256 against the standard's vectors and at every padding boundary of a block.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "base/sha256.h"

namespace tessik {
namespace {

// Bytes (i * 7 + 1) mod 256: a message whose every position differs from its neighbours.
std::string patterned(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + 1) & 0xff);
  return bytes;
}

TEST(Sha256, MatchesTheStandardVectors) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(sha256_hex(std::string(1'000'000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, PadsCorrectlyAroundBlockBoundaries) {
  // 55 bytes still fit the length in the same block; 56 and 63 need a second one.
  const std::pair<std::size_t, const char*> cases[] = {
      {3, "ce562c676ea7aba9812f54db146b0096011bf3e423edfb0a6f8fb2b02674a801"},
      {55, "16fa57a0a3423a715d594516339f36189d6b5f93754a9714fef202616a9fabfe"},
      {56, "c37b44e5f1b18554b36966f4f8e08bfbf3164c4b6c10374d12d89850892073c5"},
      {63, "bbba992d2c85af960fb2987a1fd05e0aa82a3db3c740dd8982a9e273b75e36a3"},
      {64, "66bd4633ed6f71c4ecfa4763bf7ba1c8ec7612de9aa6c0578a7b675207c71e0b"},
      {65, "9f7dc47107b750a1f3d35db5d9547f24ef40da5b731b9540d4f43710a154f6c9"},
      {119, "a3ed307b730fa77c07531300c6e4a282330011d4d4caf6bb7b63ae05950f4b66"},
      {120, "8e3b15d9fea7472655aa069620b7f8c2e55ee1499f763200a7515fe826e99d20"},
      {1000, "095ecb62e30793ab4b954cd6a0586d0cc91f7ea5b1332694d8da780e98676d78"},
  };
  for (const auto& [size, digest] : cases) EXPECT_EQ(sha256_hex(patterned(size)), digest) << size;
}

}  // namespace
}  // namespace tessik
