// Text helpers: trimming, UTF-8 repair and the JSON escape set of the evidence log.
#include <gtest/gtest.h>

#include "base/text.h"

namespace tessik {
namespace {

TEST(Text, TrimRemovesCLocaleWhiteSpaceOnly) {
  EXPECT_EQ(trim(" \t\n\v\f\rabc d\r\n"), "abc d");
  EXPECT_EQ(trim("\xC2\xA0x"), "\xC2\xA0x");  // no-break space is not C-locale white space
  EXPECT_EQ(trim("   "), "");
}

TEST(Text, RepairReplacesEachByteThatStartsNoWellFormedSequence) {
  EXPECT_EQ(repair_utf8("\xC3\x28"), "\xEF\xBF\xBD(");
  EXPECT_EQ(repair_utf8("\xC0"), "\xEF\xBF\xBD");
  EXPECT_EQ(repair_utf8("\xF5"), "\xEF\xBF\xBD");
  // A surrogate encoding is three bad bytes, each replaced.
  EXPECT_EQ(repair_utf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(repair_utf8("\xF0\x9F\x98\x80 ok"), "\xF0\x9F\x98\x80 ok");
  EXPECT_EQ(repair_utf8("\xE2\x82"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // truncated at the end
}

TEST(Text, JsonEscapeUsesShortFormsAndLowerCaseHex) {
  EXPECT_EQ(json_escape("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
  EXPECT_EQ(json_escape("\b\t\f\r"), "\\b\\t\\f\\r");
  EXPECT_EQ(json_escape(std::string("\x01\x1f\x7f", 3)), "\\u0001\\u001f\x7f");
  EXPECT_EQ(json_escape("\xC3\x28"), "\xEF\xBF\xBD(");
}

TEST(Text, JsonStringMemberEscapesKeyAndValue) {
  std::string out = "{";
  append_json_string_member(out, "k\"", "v\n");
  EXPECT_EQ(out, "{\"k\\\"\":\"v\\n\"");
}

TEST(Text, TimestampFormat) {
  EXPECT_EQ(format_utc_timestamp(0), "1970-01-01T00:00:00Z");
  EXPECT_EQ(format_utc_timestamp(1'798'761'599), "2026-12-31T23:59:59Z");
  EXPECT_EQ(utc_timestamp_now().size(), 20u);
}

TEST(Text, DiagnosticExcerptFlattensTrimsAndCuts) {
  EXPECT_EQ(diagnostic_excerpt("\n\t a\tb\r\nc \n"), "a b  c");
  EXPECT_EQ(diagnostic_excerpt(std::string(1200, 'x')), std::string(1200, 'x'));
  EXPECT_EQ(diagnostic_excerpt("  " + std::string(1201, 'y')), std::string(1200, 'y') + "...");
  EXPECT_EQ(diagnostic_excerpt("a\vb"), "a\vb") << "only tab, LF and CR are flattened";
}

}  // namespace
}  // namespace tessik
