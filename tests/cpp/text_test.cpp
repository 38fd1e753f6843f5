#include <gtest/gtest.h>

#include "util/text.h"

namespace vorel {
namespace {

TEST(Utf16ToUtf8, PairsAndUnpairedSurrogates) {
  EXPECT_EQ(utf16_to_utf8_lossy(u"a\u00e9\u20ac\U0001F600"), "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  std::u16string lone_high = u"x";
  lone_high.push_back(static_cast<char16_t>(0xD83D));
  EXPECT_EQ(utf16_to_utf8_lossy(lone_high), "x\xEF\xBF\xBD");
  EXPECT_FALSE(utf16_to_utf8_strict(lone_high).has_value());
  std::u16string reversed = {static_cast<char16_t>(0xDE00), static_cast<char16_t>(0xD83D)};
  EXPECT_EQ(utf16_to_utf8_lossy(reversed), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(utf16_to_utf8_strict(u"ok\U0001F600").value(), "ok\xF0\x9F\x98\x80");
}

TEST(Utf8ToUtf16, InvalidSequencesBecomeReplacementCharacters) {
  EXPECT_EQ(utf8_to_utf16_lossy("a\xC3\xA9\xF0\x9F\x98\x80"), u"a\u00e9\U0001F600");
  EXPECT_EQ(utf8_to_utf16_lossy("\xFF" "a"), u"\uFFFDa");
  EXPECT_EQ(utf8_to_utf16_lossy("\xE2\x82"), u"\uFFFD");        // truncated
  EXPECT_EQ(utf8_to_utf16_lossy("\xC0\xAF"), u"\uFFFD\uFFFD");  // overlong
  EXPECT_EQ(utf8_to_utf16_lossy("\xED\xA0\x80"), u"\uFFFD");    // encoded surrogate
  EXPECT_EQ(latin1_to_utf16("caf\xE9"), u"caf\u00e9");
}

TEST(TextHelpers, TrimmingAndCodes) {
  EXPECT_EQ(trim_trailing_whitespace(u"msg \t\r\n\v\f"), u"msg");
  EXPECT_EQ(trim_trailing_whitespace(u"  lead"), u"  lead");
  const char16_t with_nuls[] = {u'a', u' ', 0, 0};
  EXPECT_EQ(trim_trailing_nuls(std::u16string_view(with_nuls, 4)), u"a ");
  EXPECT_EQ(format_code(0x80070005u), "0x80070005");
  EXPECT_EQ(format_code(0xabcdefu), "0x00ABCDEF");
  EXPECT_EQ(format_hex_lower(0x20614), "0x20614");
  EXPECT_EQ(format_hex_lower(0), "0x0");
  EXPECT_EQ(format_hex_lower(~0ull), "0xffffffffffffffff");
}

}  // namespace
}  // namespace vorel
