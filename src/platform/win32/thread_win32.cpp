// Thread names and sleeps on Windows.
#include <windows.h>

#include <cerrno>
#include <string>

#include "platform/kernel.h"
#include "platform/win32/compat.h"
#include "util/text.h"

namespace vorel::platform {
namespace {

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);

struct HandleCloser {
  void operator()(HANDLE h) const noexcept {
    if (h != nullptr) CloseHandle(h);
  }
};

}  // namespace

void begin_thread_creation() { SetLastError(0); }

int32_t thread_creation_error(int errno_value) {
  const DWORD code = GetLastError();  // set by CreateThread when it failed
  if (code != 0) return static_cast<int32_t>(code);
  switch (errno_value) {
    case EAGAIN:
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case EPERM:
    case EACCES:
      return ERROR_ACCESS_DENIED;
    default:
      return ERROR_NOT_ENOUGH_MEMORY;  // what a failed thread creation nearly always means
  }
}

bool must_answer_sent_messages() { return IsGUIThread(FALSE) != FALSE; }

void answer_sent_messages() {
  MSG message;
  // Sent messages are dispatched inside PeekMessage; with no other filter
  // nothing posted is removed.
  (void)PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

namespace {

// SetThreadDescription, looked up at run time: systems before Windows 10
// 1607 lack it, and 1607 exports it from KernelBase.dll only (kernel32
// forwards it from later versions on). Null when neither has it.
SetThreadDescriptionFn thread_description_function() {
  for (const wchar_t* module : {L"kernel32.dll", L"kernelbase.dll"}) {
    const auto fn = win32::module_function<SetThreadDescriptionFn>(GetModuleHandleW(module),
                                                                  "SetThreadDescription");
    if (fn != nullptr) return fn;
  }
  return nullptr;
}

}  // namespace

void set_current_thread_name(const char* name) {
  static const SetThreadDescriptionFn fn = thread_description_function();
  if (fn == nullptr) return;
  const std::u16string wide = utf8_to_utf16_lossy(name);
  (void)fn(GetCurrentThread(), reinterpret_cast<PCWSTR>(wide.c_str()));
}

void precise_sleep(std::chrono::nanoseconds duration) {
  if (duration.count() <= 0) return;
  // One high-resolution timer per thread, made on first use.
  thread_local std::unique_ptr<void, HandleCloser> timer(CreateWaitableTimerExW(
      nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS));
  if (timer) {
    LARGE_INTEGER due;
    // Negative: relative, in 100-ns units, rounded up so it is never shorter.
    due.QuadPart = -static_cast<LONGLONG>((duration.count() + 99) / 100);
    if (SetWaitableTimer(timer.get(), &due, 0, nullptr, nullptr, FALSE)) {
      WaitForSingleObject(timer.get(), INFINITE);
      return;
    }
  }
  // Whole milliseconds, never shorter than asked.
  const auto ms = (duration.count() + 999'999) / 1'000'000;
  Sleep(static_cast<DWORD>(ms > 0xFFFFFFFELL ? 0xFFFFFFFEL : ms));
}

}  // namespace vorel::platform
