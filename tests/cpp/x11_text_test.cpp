#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/linux/x11_text.h"

namespace vorel::platform::x11 {
namespace {

using namespace std::string_view_literals;

TEST(X11CompoundText, AsciiPassesAndEverythingElseIsReplaced) {
  EXPECT_EQ(decode_compound_text("Terminal - ~/src"), u"Terminal - ~/src");
  EXPECT_EQ(decode_compound_text("tab\there\nline"), u"tab\there\nline");
  // The right half (Latin-1 by default) has no table here.
  EXPECT_EQ(decode_compound_text("caf\xE9"), u"caf\uFFFD");
  // Control bytes other than tab and newline, NUL included, are not text.
  EXPECT_EQ(decode_compound_text("a\x01" "b\x7F" "c"sv), u"a\uFFFDb\uFFFDc");
  EXPECT_EQ(decode_compound_text("a\0b"sv), u"a\uFFFDb");
  EXPECT_EQ(decode_compound_text(""), u"");
}

TEST(X11CompoundText, EscapeSequencesSwitchG0AndAreDropped) {
  // Two-byte JIS X 0208 in G0: its bytes are unreadable until ASCII returns.
  EXPECT_EQ(decode_compound_text("x\x1B$(Bxy\x1B(Bz"), u"x\uFFFD\uFFFDz");
  EXPECT_EQ(decode_compound_text("\x1B$Bab\x1B(Bc"), u"\uFFFD\uFFFDc");
  // JIS Roman in G0 is not ASCII either.
  EXPECT_EQ(decode_compound_text("\x1B(Jab\x1B(Bc"), u"\uFFFD\uFFFDc");
  // Loading G1 (the right half) leaves G0 alone.
  EXPECT_EQ(decode_compound_text("abc\x1B-A\xE9" "def"), u"abc\uFFFDdef");
  // Direction changes, as CSI and as ESC [.
  EXPECT_EQ(decode_compound_text("a\x9B" "1]b\x9B]c"), u"abc");
  EXPECT_EQ(decode_compound_text("a\x1B[2]b"), u"ab");
  // A sequence cut off by the end of the property ends the text.
  EXPECT_EQ(decode_compound_text("ab\x1B$("), u"ab");
  EXPECT_EQ(decode_compound_text("ab\x1B"), u"ab");
  EXPECT_EQ(decode_compound_text("ab\x9B" "12"), u"ab");
}

TEST(X11Text, Latin1MapsEveryByteToItsCodePoint) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::u16string text = decode_text(TextEncoding::kLatin1, all);
  ASSERT_EQ(text.size(), 256u);
  for (int b = 0; b < 256; ++b) EXPECT_EQ(text[static_cast<size_t>(b)], b) << b;
  EXPECT_EQ(decode_text(TextEncoding::kLatin1, "Gr\xFC\xDF" "e"), u"Gr\u00fc\u00df" "e");
}

TEST(X11Text, Utf8WithInvalidBytes) {
  EXPECT_EQ(decode_text(TextEncoding::kUtf8, "\xE2\x9C\x93 done \xF0\x9F\x8E\x89"),
            u"\u2713 done \U0001F389");
  // A stray continuation byte, a lead byte that never starts anything.
  EXPECT_EQ(decode_text(TextEncoding::kUtf8, "a\x80" "b\xFE" "c"), u"a\uFFFDb\uFFFDc");
  // A broken sequence does not swallow the ASCII after it.
  EXPECT_EQ(decode_text(TextEncoding::kUtf8, "\xE2\x9C" "x"), u"\uFFFDx");
  EXPECT_EQ(decode_text(TextEncoding::kUtf8, "\xF0\x9F\x8E"), u"\uFFFD");
  // Overlong forms, encoded surrogates and code points past U+10FFFF.
  EXPECT_EQ(decode_text(TextEncoding::kUtf8, "\xE0\x80\xAF"), u"\uFFFD");
  EXPECT_EQ(decode_text(TextEncoding::kUtf8, "\xED\xB0\x80"), u"\uFFFD");
  EXPECT_EQ(decode_text(TextEncoding::kUtf8, "\xF4\x90\x80\x80"), u"\uFFFD");
  EXPECT_EQ(decode_text(TextEncoding::kUtf8, "\xF4\x8F\xBF\xBF"), u"\U0010FFFF");
}

TEST(X11Text, OtherTypesAreNoText) {
  EXPECT_EQ(decode_text(TextEncoding::kNone, "title"), u"");
}

TEST(X11Text, ClassIsTheSecondStringOfWmClass) {
  EXPECT_EQ(wm_class_class("xterm\0XTerm\0"sv), "XTerm");
  EXPECT_EQ(wm_class_class("xterm\0XTerm"sv), "XTerm") << "no final NUL";
  EXPECT_EQ(wm_class_class("a\0B\0more\0"sv), "B");
  EXPECT_EQ(wm_class_class("\0\0"sv), "");
  EXPECT_EQ(wm_class_class("xterm"sv), "") << "no class without a separator";
  EXPECT_EQ(wm_class_class(""sv), "");
}

}  // namespace
}  // namespace vorel::platform::x11
