// The flat nesting scan that guards every parse of outside JSON.
#include <gtest/gtest.h>

#include <string>

#include "base/json_depth.h"

namespace tessik {
namespace {

std::string nested_arrays(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

TEST(JsonDepth, TheLimitIsInclusive) {
  EXPECT_TRUE(json_nesting_within(nested_arrays(kMaxJsonNestingDepth)));
  EXPECT_FALSE(json_nesting_within(nested_arrays(kMaxJsonNestingDepth + 1)));
  EXPECT_TRUE(json_nesting_within(R"({"a":{"b":[1]}})", 3));
  EXPECT_FALSE(json_nesting_within(R"({"a":{"b":[1]}})", 2));
  // Siblings do not add up: only the deepest path counts.
  EXPECT_TRUE(json_nesting_within(R"([[1],[2],[3],{"x":3}])", 2));
  EXPECT_TRUE(json_nesting_within("", 0));
  EXPECT_TRUE(json_nesting_within("42", 0));
}

TEST(JsonDepth, BracketsInsideStringsDoNotCount) {
  EXPECT_TRUE(json_nesting_within(R"(["[[[[{{{{"])", 1));
  // An escaped quote does not end the string, an escaped backslash does not escape the quote.
  EXPECT_TRUE(json_nesting_within(R"(["\"[[[["])", 1));
  EXPECT_FALSE(json_nesting_within(R"(["\\",[[]]])", 2));
  EXPECT_TRUE(json_nesting_within(R"({"k[":"v{","\\\"":"]]]"})", 1));
}

TEST(JsonDepth, StrayClosersCannotHideDeepInput) {
  // Closers with nothing open are ignored rather than counted below zero.
  EXPECT_FALSE(json_nesting_within("]]]]]]" + nested_arrays(kMaxJsonNestingDepth + 1)));
  EXPECT_FALSE(json_nesting_within("}}}" + std::string(kMaxJsonNestingDepth + 1, '{')));
}

TEST(JsonDepth, HugeDepthIsRefusedWithoutRecursing) {
  // A depth that would overflow the stack of any recursive walker; the scan stops early.
  EXPECT_FALSE(json_nesting_within(std::string(10'000'000, '[')));
  EXPECT_FALSE(json_nesting_within(R"({"params":)" + nested_arrays(100'000) + "}"));
  // An unterminated string swallows the rest, whatever it holds.
  EXPECT_TRUE(json_nesting_within("\"" + std::string(100'000, '[')));
}

}  // namespace
}  // namespace tessik
