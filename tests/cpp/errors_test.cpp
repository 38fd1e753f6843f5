#include <gtest/gtest.h>

#include <map>

#include "errors/io_error.h"
#include "errors/messages.h"
#include "errors/platform_error.h"
#include "platform/errors.h"
#include "platform/kernel.h"

namespace vorel {
namespace {

class FakeMessages final : public MessageSource {
 public:
  std::map<uint32_t, std::u16string> hresults;
  std::map<int32_t, Result<std::u16string, MessageLookupFailure>> os;
  mutable int hresult_lookups = 0;

  std::u16string hresult_message(uint32_t code) const override {
    ++hresult_lookups;
    auto it = hresults.find(code);
    return it == hresults.end() ? std::u16string() : it->second;
  }
  Result<std::u16string, MessageLookupFailure> os_error_message(int32_t code) const override {
    auto it = os.find(code);
    if (it == os.end()) return Err(MessageLookupFailure{false, 317});
    return it->second;
  }
};

class FakeInfo final : public ErrorInfo {
 public:
  std::optional<RestrictedErrorDetails> details;
  std::optional<std::u16string> plain;
  int* destroyed = nullptr;
  ~FakeInfo() override {
    if (destroyed) ++*destroyed;
  }
  std::optional<RestrictedErrorDetails> restricted_details() const override { return details; }
  std::optional<std::u16string> description() const override { return plain; }
};

std::unique_ptr<FakeInfo> info(std::optional<RestrictedErrorDetails> details,
                               std::optional<std::u16string> plain) {
  auto i = std::make_unique<FakeInfo>();
  i->details = std::move(details);
  i->plain = std::move(plain);
  return i;
}

FakeMessages windows_like() {
  FakeMessages m;
  m.hresults[0x80070005] = u"Access is denied.\r\n";
  m.hresults[0] = u"The operation completed successfully.\r\n";
  m.hresults[0x8000FFFF] = u"Catastrophic failure \t\v\f";
  return m;
}

TEST(PlatformErrorText, SystemMessageThenCode) {
  FakeMessages m = windows_like();
  EXPECT_EQ(PlatformError::from_win32(5).render(m), "Access is denied. (0x80070005)");
  EXPECT_EQ(PlatformError::from_win32(5).code(), std::optional<int32_t>(int32_t(0x80070005)));
  EXPECT_EQ(PlatformError::with_info(int32_t(0x8000FFFF), nullptr).render(m),
            "Catastrophic failure (0x8000FFFF)");
}

TEST(PlatformErrorText, AbsentCodeRendersAsSuccess) {
  FakeMessages m = windows_like();
  EXPECT_FALSE(PlatformError::null_result().code().has_value());
  EXPECT_EQ(PlatformError::null_result().code_or_ok(), 0);
  EXPECT_EQ(PlatformError::null_result().render(m),
            "The operation completed successfully. (0x00000000)");
  EXPECT_FALSE(PlatformError::from_win32(0).code().has_value());
}

TEST(PlatformErrorText, CodeAloneWithoutMessage) {
  FakeMessages m;
  EXPECT_EQ(PlatformError::with_info(int32_t(0x88890003), nullptr).render(m), "0x88890003");
  EXPECT_EQ(PlatformError::with_info(int32_t(0x0000ABCD), nullptr).render(m), "0x0000ABCD");
  EXPECT_EQ(PlatformError::with_info(-1, nullptr).render(m), "0xFFFFFFFF");
  // White space alone is no message.
  m.hresults[7] = u" \r\n";
  EXPECT_EQ(PlatformError::with_info(7, nullptr).render(m), "0x00000007");
}

TEST(PlatformErrorText, Win32Rule) {
  EXPECT_EQ(PlatformError::from_win32(2).code_or_ok(), int32_t(0x80070002));
  // Only the low 16 bits are kept.
  EXPECT_EQ(PlatformError::from_win32(0x12345).code_or_ok(), int32_t(0x80072345));
  // A negative value is already an HRESULT.
  EXPECT_EQ(PlatformError::from_win32(int32_t(0x88890004)).code_or_ok(), int32_t(0x88890004));
  platform::set_last_error(5);
  EXPECT_EQ(platform::error_from_last_error().code_or_ok(), int32_t(0x80070005));
  platform::set_last_error(0);
  EXPECT_FALSE(platform::error_from_last_error().code().has_value());
}

TEST(PlatformErrorText, ErrorInformationTakesPrecedence) {
  FakeMessages m = windows_like();
  // Restricted description first.
  auto e = PlatformError::with_info(
      int32_t(0x80070005), info(RestrictedErrorDetails{u"plain", u"restricted \n"}, u"desc"));
  EXPECT_EQ(e.render(m), "restricted (0x80070005)");
  // Empty restricted description: the details' description.
  e = PlatformError::with_info(int32_t(0x80070005),
                               info(RestrictedErrorDetails{u"details", u""}, u"desc"));
  EXPECT_EQ(e.render(m), "details (0x80070005)");
  // Both missing: GetDescription.
  e = PlatformError::with_info(int32_t(0x80070005),
                               info(RestrictedErrorDetails{std::nullopt, std::nullopt}, u"desc"));
  EXPECT_EQ(e.render(m), "desc (0x80070005)");
  // No restricted interface.
  e = PlatformError::with_info(int32_t(0x80070005), info(std::nullopt, u"only desc"));
  EXPECT_EQ(e.render(m), "only desc (0x80070005)");
  // Empty descriptions give the code alone, not the system message.
  m.hresult_lookups = 0;
  e = PlatformError::with_info(int32_t(0x80070005), info(std::nullopt, u""));
  EXPECT_EQ(e.render(m), "0x80070005");
  EXPECT_EQ(m.hresult_lookups, 0);
  e = PlatformError::with_info(int32_t(0x80070005), info(std::nullopt, std::nullopt));
  EXPECT_EQ(e.render(m), "0x80070005");
}

TEST(PlatformErrorText, UnpairedSurrogatesBecomeReplacementCharacters) {
  FakeMessages m;
  std::u16string text = u"bad ";
  text.push_back(static_cast<char16_t>(0xDC00));
  text += u" end";
  auto e = PlatformError::with_info(1, info(std::nullopt, text));
  EXPECT_EQ(e.render(m), "bad \xEF\xBF\xBD end (0x00000001)");
}

TEST(PlatformErrorInfo, ReleasedWithTheErrorAndTakenFromTheThread) {
  int destroyed = 0;
  {
    auto i = info(std::nullopt, u"x");
    i->destroyed = &destroyed;
    PlatformError e = PlatformError::with_info(1, std::move(i));
    PlatformError moved = std::move(e);
    EXPECT_EQ(destroyed, 0);
  }
  EXPECT_EQ(destroyed, 1);

  platform::set_thread_error_info(make_text_error_info(u"from the thread"));
  PlatformError taken = platform::error_from_hresult(int32_t(0x80004005));
  ASSERT_NE(taken.info(), nullptr);
  EXPECT_EQ(taken.render(FakeMessages()), "from the thread (0x80004005)");
  // Taking it cleared the slot.
  EXPECT_EQ(platform::error_from_hresult(int32_t(0x80004005)).info(), nullptr);
  // A null result never consults the slot.
  platform::set_thread_error_info(make_text_error_info(u"left alone"));
  EXPECT_EQ(PlatformError::null_result().info(), nullptr);
  EXPECT_NE(platform::error_from_hresult(-1).info(), nullptr);
}

TEST(IoErrorText, OsErrorsAndFixedKinds) {
  FakeMessages m;
  m.os.emplace(2, std::u16string(u"The system cannot find the file specified.\r\n"));
  EXPECT_EQ(IoError::os(2).render(m),
            "The system cannot find the file specified. (os error 2)");
  EXPECT_EQ(IoError::os(9999).render(m),
            "OS Error 9999 (FormatMessageW() returned error 317) (os error 9999)");
  m.os.emplace(5, Err(MessageLookupFailure{true, 0}));
  EXPECT_EQ(IoError::os(5).render(m),
            "OS Error 5 (FormatMessageW() returned invalid UTF-16) (os error 5)");
  std::u16string bad = u"x";
  bad.push_back(static_cast<char16_t>(0xD800));
  m.os.emplace(6, bad);
  EXPECT_EQ(IoError::os(6).render(m),
            "OS Error 6 (FormatMessageW() returned invalid UTF-16) (os error 6)");
  EXPECT_EQ(IoError::write_zero().render(m), "failed to write whole buffer");
  EXPECT_EQ(IoError::nul_in_path().render(m), "strings passed to WinAPI cannot contain NULs");
}

#ifndef _WIN32
TEST(SystemMessages, LinuxTablesReadLikeWindows) {
  EXPECT_EQ(platform::render(IoError::os(2)), "No such file or directory (os error 2)");
  EXPECT_EQ(platform::render(PlatformError::from_win32(5)), "Access is denied. (0x80070005)");
  EXPECT_EQ(platform::render(PlatformError::null_result()),
            "The operation completed successfully. (0x00000000)");
  EXPECT_EQ(platform::render(PlatformError::with_info(int32_t(0x88890003), nullptr)), "0x88890003");
  EXPECT_EQ(platform::render(PlatformError::with_info(int32_t(0x80070490), nullptr)),
            "Element not found. (0x80070490)");
}
#endif

}  // namespace
}  // namespace vorel
