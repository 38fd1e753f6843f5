// Failure texts on the real Windows message tables and COM error
// information. Message wording differs between Windows and Wine, so these
// tests compare the structure of a text and its code, never the words.
#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <string>

#include "errors/io_error.h"
#include "errors/platform_error.h"
#include "platform/errors.h"
#include "platform/kernel.h"
#include "platform/win32/compat.h"
#include "platform/win32/scoped.h"

namespace {

using vorel::IoError;
using vorel::PlatformError;
using vorel::platform::render;
using vorel::platform::error_from_hresult;
using vorel::win32::ComPtr;

// The text before " (<suffix>)", which must end `text`; nullopt otherwise.
std::optional<std::string> message_before(const std::string& text, const std::string& suffix) {
  const std::string tail = " (" + suffix + ")";
  if (text.size() < tail.size() || text.compare(text.size() - tail.size(), tail.size(), tail) != 0) {
    return std::nullopt;
  }
  return text.substr(0, text.size() - tail.size());
}

bool ends_in_whitespace(const std::string& text) {
  return !text.empty() && std::string(" \t\r\n\v\f").find(text.back()) != std::string::npos;
}

// Leaves the calling thread without error information.
void clear_thread_error_info() { (void)SetErrorInfo(0, nullptr); }

ComPtr<IErrorInfo> thread_error_info() {
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.put()) != S_OK) info.reset();
  return info;
}

constexpr int32_t as_code(uint32_t bits) { return static_cast<int32_t>(bits); }

// --- HRESULT texts ----------------------------------------------------------

TEST(WinPlatformErrorText, SystemMessageThenCode) {
  const std::string text = render(PlatformError::from_win32(5));
  const auto message = message_before(text, "0x80070005");
  ASSERT_TRUE(message.has_value()) << text;
  EXPECT_FALSE(message->empty()) << text;
  EXPECT_FALSE(ends_in_whitespace(*message)) << text;
  EXPECT_EQ(message->find('\n'), std::string::npos) << text;
}

TEST(WinPlatformErrorText, AbsentCodeShowsTheSuccessMessageAndZeros) {
  const std::string text = render(PlatformError::from_win32(0));
  const auto message = message_before(text, "0x00000000");
  ASSERT_TRUE(message.has_value()) << text;
  EXPECT_FALSE(message->empty()) << text;
  EXPECT_FALSE(ends_in_whitespace(*message)) << text;
}

TEST(WinPlatformErrorText, CodeWithoutMessageStandsAlone) {
  clear_thread_error_info();
  // The customer bit (0x20000000): no system table has such a code.
  EXPECT_EQ(render(error_from_hresult(as_code(0xE0DE0001u))), "0xE0DE0001");
}

TEST(WinPlatformErrorText, NtStatusBitIsClearedForTheLookupOnly) {
  clear_thread_error_info();
  // 0x90070005 is access denied with the NTSTATUS bit: the lookup finds the
  // message of 0x80070005, and the code shown keeps the bit.
  const auto plain = message_before(render(PlatformError::from_win32(5)), "0x80070005");
  const std::string text = render(error_from_hresult(as_code(0x90070005u)));
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(message_before(text, "0x90070005"), plain) << text;
}

// --- OS error texts -------------------------------------------------------

TEST(WinIoErrorText, SystemMessageThenOsError) {
  const std::string text = render(IoError::os(2));
  const auto message = message_before(text, "os error 2");
  ASSERT_TRUE(message.has_value()) << text;
  EXPECT_FALSE(message->empty()) << text;
  EXPECT_FALSE(ends_in_whitespace(*message)) << text;
}

// A thread the C++ runtime could not make is reported with a Windows code
// (its errno-style value would look up an unrelated Windows text).
TEST(WinIoErrorText, ThreadCreationFailureUsesAWindowsCode) {
  vorel::platform::begin_thread_creation();
  EXPECT_EQ(vorel::platform::thread_creation_error(EAGAIN), ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(vorel::platform::thread_creation_error(EINVAL), ERROR_INVALID_PARAMETER);
  SetLastError(ERROR_NO_SYSTEM_RESOURCES);  // what CreateThread left behind
  EXPECT_EQ(vorel::platform::thread_creation_error(EAGAIN), ERROR_NO_SYSTEM_RESOURCES);
  vorel::platform::begin_thread_creation();
  EXPECT_EQ(GetLastError(), 0u);
  const std::string text = render(IoError::os(vorel::platform::thread_creation_error(EAGAIN)));
  EXPECT_TRUE(message_before(text, "os error 8").has_value()) << text;
}

TEST(WinIoErrorText, FailedLookupReportsTheLookupsError) {
  // ERROR_MR_MID_NOT_FOUND (317): the table has no such message.
  EXPECT_EQ(render(IoError::os(0x20001234)),
            "OS Error 536875572 (FormatMessageW() returned error 317) (os error 536875572)");
}

TEST(WinIoErrorText, NtStatusBitIsClearedWhileNtdllIsLoaded) {
  ASSERT_NE(GetModuleHandleW(L"NTDLL.DLL"), nullptr);
  const auto plain = message_before(render(IoError::os(as_code(0x80070005u))),
                                    "os error -2147024891");
  const std::string text = render(IoError::os(as_code(0x90070005u)));
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(message_before(text, "os error -1878589435"), plain) << text;
}

// --- error information ------------------------------------------------------

ComPtr<IErrorInfo> make_error_info(const wchar_t* description) {
  ComPtr<ICreateErrorInfo> create;
  if (FAILED(CreateErrorInfo(create.put()))) return {};
  (void)create->SetDescription(const_cast<LPOLESTR>(description));
  return create.query<IErrorInfo>(IID_IErrorInfo);
}

TEST(WinErrorInfo, DescriptionReplacesTheSystemMessageAndIsTakenOnce) {
  ComPtr<IErrorInfo> info = make_error_info(L"vorel: the widget jammed\r\n");
  ASSERT_TRUE(info);
  ASSERT_EQ(SetErrorInfo(0, info.get()), S_OK);

  const PlatformError error = error_from_hresult(E_FAIL);
  EXPECT_FALSE(thread_error_info()) << "making the error value must clear the thread's info";
  EXPECT_EQ(render(error), "vorel: the widget jammed (0x80004005)");
  // A second value made now finds nothing and falls back to the system.
  EXPECT_EQ(error_from_hresult(E_FAIL).info(), nullptr);
}

TEST(WinErrorInfo, EmptyDescriptionGivesTheCodeAlone) {
  ComPtr<IErrorInfo> info = make_error_info(L"");
  ASSERT_TRUE(info);
  ASSERT_EQ(SetErrorInfo(0, info.get()), S_OK);
  EXPECT_EQ(render(error_from_hresult(E_FAIL)), "0x80004005");
}

TEST(WinErrorInfo, HandedBackToTheThreadAsTheSameObject) {
  ComPtr<IErrorInfo> info = make_error_info(L"handed back");
  ASSERT_TRUE(info);
  ASSERT_EQ(SetErrorInfo(0, info.get()), S_OK);
  PlatformError error = error_from_hresult(E_FAIL);
  ASSERT_NE(error.info(), nullptr);

  vorel::platform::set_thread_error_info(error.take_info());
  ComPtr<IErrorInfo> again = thread_error_info();
  ASSERT_TRUE(again);
  EXPECT_EQ(again.get(), info.get());
}

TEST(WinErrorInfo, OwnTextTravelsAsACOMErrorObject) {
  clear_thread_error_info();
  vorel::platform::set_thread_error_info(vorel::make_text_error_info(u"own text \u2603"));
  ComPtr<IErrorInfo> info = thread_error_info();
  ASSERT_TRUE(info);
  vorel::win32::Bstr description;
  ASSERT_EQ(info->GetDescription(description.put()), S_OK);
  EXPECT_EQ(description.text(), std::u16string(u"own text \u2603"));
}

// Error information that also offers restricted details, and counts its
// references so that the test sees every one given back. It lives on the
// test's stack: the last Release does not free it.
class CountingErrorInfo final : public IErrorInfo, public IRestrictedErrorInfo {
 public:
  struct Texts {
    const wchar_t* description = nullptr;             // GetErrorDetails
    const wchar_t* restricted_description = nullptr;  // GetErrorDetails
    const wchar_t* plain = nullptr;                   // IErrorInfo::GetDescription
    bool details_fail = false;
  };

  explicit CountingErrorInfo(Texts texts) : texts_(texts) {}

  ULONG references() const { return references_; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IErrorInfo)) {
      *out = static_cast<IErrorInfo*>(this);
    } else if (IsEqualIID(iid, vorel::win32::kIidRestrictedErrorInfo)) {
      *out = static_cast<IRestrictedErrorInfo*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override { return --references_; }

  HRESULT STDMETHODCALLTYPE GetGUID(GUID* guid) override {
    *guid = GUID{};
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSource(BSTR* source) override {
    *source = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDescription(BSTR* description) override {
    *description = alloc(texts_.plain);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* file) override {
    *file = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* context) override {
    *context = 0;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetErrorDetails(BSTR* description, HRESULT* error,
                                            BSTR* restricted_description,
                                            BSTR* capability_sid) override {
    *description = alloc(texts_.description);
    *error = E_FAIL;
    *restricted_description = alloc(texts_.restricted_description);
    *capability_sid = alloc(L"S-1-15-3-1");
    return texts_.details_fail ? E_UNEXPECTED : S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetReference(BSTR* reference) override {
    *reference = nullptr;
    return S_OK;
  }

 private:
  static BSTR alloc(const wchar_t* text) { return text ? SysAllocString(text) : nullptr; }

  Texts texts_;
  ULONG references_ = 1;  // the test's own
};

std::string render_through_thread(CountingErrorInfo& info) {
  EXPECT_EQ(SetErrorInfo(0, static_cast<IErrorInfo*>(&info)), S_OK);
  std::string text = render(error_from_hresult(E_FAIL));
  // Taking it (and so releasing the slot's reference) here also keeps a
  // faulty backend from leaving the stack object on the thread.
  EXPECT_FALSE(thread_error_info()) << "left on the thread";
  return text;
}

TEST(WinRestrictedErrorInfo, PrefersTheRestrictedDescriptionAndReleasesEverything) {
  CountingErrorInfo both({L"general", L"restricted\r\n", L"plain", false});
  EXPECT_EQ(render_through_thread(both), "restricted (0x80004005)");
  EXPECT_EQ(both.references(), 1u);

  CountingErrorInfo general_only({L"general", L"", L"plain", false});
  EXPECT_EQ(render_through_thread(general_only), "general (0x80004005)");
  EXPECT_EQ(general_only.references(), 1u);
}

TEST(WinRestrictedErrorInfo, FallsBackToGetDescription) {
  CountingErrorInfo missing({nullptr, nullptr, L"plain", false});
  EXPECT_EQ(render_through_thread(missing), "plain (0x80004005)");
  EXPECT_EQ(missing.references(), 1u);

  CountingErrorInfo failing({L"general", L"restricted", L"plain", true});
  EXPECT_EQ(render_through_thread(failing), "plain (0x80004005)");
  EXPECT_EQ(failing.references(), 1u);

  CountingErrorInfo nothing({nullptr, L"", nullptr, false});
  EXPECT_EQ(render_through_thread(nothing), "0x80004005");
  EXPECT_EQ(nothing.references(), 1u);
}

}  // namespace
