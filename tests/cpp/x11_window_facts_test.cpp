// The choices among the properties an X window carries: which one gives the
// title, how each is decoded by its type, and what counts as a pid or a
// client area. Other clients set these properties, so odd types and formats
// are ordinary input.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/x11_window_facts.h"

namespace vorel::platform::x11 {
namespace {

using namespace std::string_view_literals;

// Made-up atoms for the text types the server interns per display.
constexpr xcb_atom_t kUtf8 = 300;
constexpr xcb_atom_t kCompound = 301;
constexpr TextTypes kTypes{kUtf8, kCompound};

std::optional<PropertyValue> text(xcb_atom_t type, std::string_view bytes, uint8_t format = 8) {
  return PropertyValue{type, format, bytes};
}

TEST(X11Title, TheEwmhTitleWinsWhenItHoldsUtf8Text) {
  const auto legacy = text(XCB_ATOM_STRING, "caf\xE9");
  EXPECT_EQ(title_from(kTypes, text(kUtf8, "Caf\xC3\xA9 \xE2\x80\x94 1"), legacy), u"Café — 1");
  EXPECT_EQ(title_from(kTypes, text(kUtf8, "a\xFF" "b"), legacy), u"a\uFFFDb");
  // An empty one, one of another type or format, or none: WM_NAME decides.
  EXPECT_EQ(title_from(kTypes, text(kUtf8, ""), legacy), u"café");
  EXPECT_EQ(title_from(kTypes, text(XCB_ATOM_STRING, "other"), legacy), u"café");
  EXPECT_EQ(title_from(kTypes, text(kUtf8, "abcd", 32), legacy), u"café");
  EXPECT_EQ(title_from(kTypes, std::nullopt, legacy), u"café");
  EXPECT_EQ(title_from(kTypes, std::nullopt, std::nullopt), u"");
  EXPECT_EQ(title_from(kTypes, text(kUtf8, ""), std::nullopt), u"");
}

TEST(X11Title, WmNameIsDecodedAsItsTypeSays) {
  EXPECT_EQ(title_from(kTypes, std::nullopt, text(kUtf8, "\xC3\xA9t\xC3\xA9")), u"été");
  EXPECT_EQ(title_from(kTypes, std::nullopt, text(XCB_ATOM_STRING, "\xE9t\xE9")), u"été");
  EXPECT_EQ(title_from(kTypes, std::nullopt, text(kCompound, "vi \xE9")), u"vi \uFFFD");
  // Text of an unknown type, or in 16- or 32-bit items, is no text.
  EXPECT_EQ(title_from(kTypes, std::nullopt, text(XCB_ATOM_ATOM, "abcd")), u"");
  EXPECT_EQ(title_from(kTypes, std::nullopt, text(XCB_ATOM_STRING, "abcd", 16)), u"");
}

TEST(X11Class, TheClassIsTheSecondStringOfWmClass) {
  EXPECT_EQ(class_from(kTypes, text(XCB_ATOM_STRING, "xterm\0XTerm\0"sv)), u"XTerm");
  EXPECT_EQ(class_from(kTypes, text(XCB_ATOM_STRING, "xterm\0Gr\xFC\xDF"sv)), u"Grüß");
  EXPECT_EQ(class_from(kTypes, text(kUtf8, "app\0\xC3\xA9\0"sv)), u"é");
  EXPECT_EQ(class_from(kTypes, text(XCB_ATOM_STRING, "instance-only")), u"");
  EXPECT_EQ(class_from(kTypes, text(XCB_ATOM_STRING, "a\0b\0"sv, 32)), u"");
  EXPECT_EQ(class_from(kTypes, std::nullopt), u"");
}

std::string le32(uint32_t value) {
  std::string bytes(4, '\0');
  std::memcpy(bytes.data(), &value, 4);
  return bytes;
}

TEST(X11Pid, OnlyA32BitCardinalIsAPid) {
  const std::string pid = le32(4242);
  const std::string two = le32(17) + le32(99);
  EXPECT_EQ(pid_from(PropertyValue{XCB_ATOM_CARDINAL, 32, pid}), 4242u);
  EXPECT_EQ(pid_from(PropertyValue{XCB_ATOM_CARDINAL, 32, two}), 17u);
  EXPECT_EQ(pid_from(PropertyValue{XCB_ATOM_INTEGER, 32, pid}), std::nullopt);
  EXPECT_EQ(pid_from(PropertyValue{XCB_ATOM_CARDINAL, 8, pid}), std::nullopt);
  EXPECT_EQ(pid_from(PropertyValue{XCB_ATOM_CARDINAL, 32, std::string_view(pid).substr(0, 2)}),
            std::nullopt);
  EXPECT_EQ(pid_from(std::nullopt), std::nullopt);
}

TEST(X11ClientRect, AnIconifiedWindowHasNoneAndAnyOtherItsWholeSize) {
  auto same = [](const Rect& r, int32_t w, int32_t h) {
    return r.left == 0 && r.top == 0 && r.right == w && r.bottom == h;
  };
  EXPECT_TRUE(same(client_rect_from(640, 480, std::nullopt), 640, 480));  // no manager
  EXPECT_TRUE(same(client_rect_from(640, 480, 1), 640, 480));             // NormalState
  EXPECT_TRUE(same(client_rect_from(640, 480, 0), 640, 480));             // WithdrawnState
  EXPECT_TRUE(same(client_rect_from(640, 480, kIconicState), 0, 0));
  EXPECT_TRUE(same(client_rect_from(65535, 1, std::nullopt), 65535, 1));
}

}  // namespace
}  // namespace vorel::platform::x11
