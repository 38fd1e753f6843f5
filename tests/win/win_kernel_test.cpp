// Waits on a thread that owns windows: they must keep answering messages
// that other threads send (PrintWindow from a capture worker is one), or
// the sender and the waiter wait for each other forever.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
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

}  // namespace
