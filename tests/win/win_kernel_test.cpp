// Waits on a thread that owns windows: they must keep answering messages
// that other threads send (PrintWindow from a capture worker is one), or
// the sender and the waiter wait for each other forever.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/kernel.h"

namespace {

constexpr UINT kAsk = WM_USER + 1;

LRESULT CALLBACK answering_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == kAsk) return 42;
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

ATOM answering_class() {
  static const ATOM cls = [] {
    WNDCLASSW wc{};
    wc.lpfnWndProc = answering_proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"vorel_kernel_test";
    return RegisterClassW(&wc);
  }();
  return cls;
}

// A thread that makes a window and then waits without a message loop,
// answering sent messages or not; `ask` runs on the caller's thread.
template <class Ask>
void with_waiting_owner(bool answer, Ask ask) {
  ASSERT_NE(answering_class(), 0);
  std::atomic<HWND> hwnd{nullptr};
  std::atomic<bool> done{false};
  std::atomic<bool> gui{false};
  std::thread owner([&] {
    HWND w = CreateWindowExW(0, L"vorel_kernel_test", L"", WS_OVERLAPPED, 0, 0, 10, 10, nullptr,
                             nullptr, GetModuleHandleW(nullptr), nullptr);
    gui = vorel::platform::must_answer_sent_messages();
    hwnd = w;
    while (!done) {
      if (answer) vorel::platform::answer_sent_messages();
      Sleep(1);
    }
    DestroyWindow(w);
  });
  while (hwnd.load() == nullptr) Sleep(1);
  EXPECT_TRUE(gui.load());
  ask(hwnd.load());
  done = true;
  owner.join();
}

TEST(WinWaitsAnswer, ASenderGetsItsAnswerFromAWaitingOwner) {
  with_waiting_owner(true, [](HWND hwnd) {
    DWORD_PTR result = 0;
    EXPECT_NE(SendMessageTimeoutW(hwnd, kAsk, 0, 0, SMTO_BLOCK, 5000, &result), 0);
    EXPECT_EQ(result, 42u);
  });
}

TEST(WinWaitsAnswer, WithoutAnsweringTheSenderWouldWaitForever) {
  with_waiting_owner(false, [](HWND hwnd) {
    DWORD_PTR result = 0;
    EXPECT_EQ(SendMessageTimeoutW(hwnd, kAsk, 0, 0, SMTO_BLOCK, 300, &result), 0);
  });
}

// GetThreadDescription as the system exports it: from kernel32 on newer
// systems, from KernelBase only on Windows 10 1607.
using GetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PWSTR*);

GetThreadDescriptionFn thread_description_reader() {
  for (const wchar_t* module : {L"kernel32.dll", L"kernelbase.dll"}) {
    HMODULE loaded = GetModuleHandleW(module);
    FARPROC proc = loaded != nullptr ? GetProcAddress(loaded, "GetThreadDescription") : nullptr;
    if (proc != nullptr) {
      return reinterpret_cast<GetThreadDescriptionFn>(reinterpret_cast<void (*)()>(proc));
    }
  }
  return nullptr;
}

TEST(WinThreadName, TheSystemKnowsTheThreadByItsName) {
  GetThreadDescriptionFn read = thread_description_reader();
  if (read == nullptr) GTEST_SKIP() << "no thread descriptions before Windows 10 1607";
  std::wstring before;
  std::wstring after;
  std::thread([&] {
    PWSTR text = nullptr;
    if (SUCCEEDED(read(GetCurrentThread(), &text)) && text != nullptr) before = text;
    LocalFree(text);
    vorel::platform::set_current_thread_name("vorel-audio-native \xC3\xA9");
    text = nullptr;
    if (SUCCEEDED(read(GetCurrentThread(), &text)) && text != nullptr) after = text;
    LocalFree(text);
  }).join();
  EXPECT_EQ(before, L"");
  EXPECT_EQ(after, L"vorel-audio-native \u00e9");  // the UTF-8 name as UTF-16
}

}  // namespace
