// Ids: the id generator takes its whole state from the seed source, and ids and UUIDs have
// their form and do not repeat.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "base/random.h"

namespace tessik {
namespace {

bool is_lower_hex(const std::string& text) {
  return text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

TEST(Random, IdGeneratorDrawsAFullStateOfSeedWordsAndUsesEveryOne) {
  std::size_t drawn = 0;
  auto counting = [&drawn]() { return static_cast<std::uint32_t>(++drawn); };
  std::mt19937_64 first = make_seeded_id_generator(counting);
  EXPECT_EQ(drawn, kIdGeneratorSeedWords);
  EXPECT_EQ(kIdGeneratorSeedWords, 624u);

  // Only the last seed word differs: a generator that ignored any word would repeat itself.
  std::size_t next = 0;
  std::mt19937_64 second = make_seeded_id_generator([&next]() {
    ++next;
    return static_cast<std::uint32_t>(next == kIdGeneratorSeedWords ? 0xFFFFFFFFu : next);
  });
  EXPECT_NE(first(), second());
}

TEST(Random, IdsAre32LowerHexDigitsAndDistinct) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    const std::string id = random_hex_token();
    ASSERT_EQ(id.size(), 32u);
    ASSERT_TRUE(is_lower_hex(id)) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 1000u);
  // Each thread has its own generator; two threads must not produce the same stream.
  std::string other;
  std::thread([&] { other = random_hex_token(); }).join();
  EXPECT_EQ(seen.count(other), 0u);
}

TEST(Random, UuidsAreVersionFourAndDistinct) {
  std::set<std::string> seen;
  std::set<char> variants;
  for (int i = 0; i < 500; ++i) {
    const std::string id = random_uuid();
    ASSERT_TRUE(is_uuid_text(id)) << id;
    EXPECT_EQ(id[14], '4') << id;
    variants.insert(id[19]);
    EXPECT_TRUE(is_lower_hex(id.substr(0, 8) + id.substr(9, 4) + id.substr(24))) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 500u);
  EXPECT_EQ(variants, (std::set<char>{'8', '9', 'a', 'b'}));
}

TEST(Random, UuidTextNeedsGroupsOfHexJoinedByDashes) {
  EXPECT_TRUE(is_uuid_text("0F8FAD5B-D9CB-469F-A165-70867728950E"));
  for (const char* text :
       {"0f8fad5b-d9cb-469f-a165-70867728950", "0f8fad5bd-9cb-469f-a165-70867728950e",
        "0f8fad5b-d9cb-469f-a165-70867728950g"})
    EXPECT_FALSE(is_uuid_text(text)) << text;
}

TEST(Random, HexEncodeWritesTwoLowerCaseDigitsPerByte) {
  EXPECT_EQ(hex_encode(std::string("\x00\x0f\xa5\xff", 4)), "000fa5ff");
  EXPECT_EQ(hex_encode(""), "");
}

}  // namespace
}  // namespace tessik
