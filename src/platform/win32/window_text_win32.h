// Titles of windows read from the text the system keeps for them, sending
// the window nothing.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/win32/compat.h"

namespace vorel::win32 {

using InternalGetWindowTextFn = int(WINAPI*)(HWND, LPWSTR, int);

// InternalGetWindowText, looked up at run time: it is documented as one
// that may be altered or unavailable in later versions. Null without it.
inline InternalGetWindowTextFn internal_get_window_text() {
  static const InternalGetWindowTextFn fn = module_function<InternalGetWindowTextFn>(
      GetModuleHandleW(L"user32.dll"), "InternalGetWindowText");
  return fn;
}

inline bool of_this_process(HWND window) {
  DWORD pid = 0;
  (void)GetWindowThreadProcessId(window, &pid);
  return pid == GetCurrentProcessId();
}

// The text the system keeps for a window: what it was created with or last
// given by SetWindowText. Returns the number of units copied, not counting
// the NUL that ends them, as GetWindowTextW does. `internal` is
// InternalGetWindowText when the system has it. Without it, another
// process's window is read by GetWindowTextW, which is documented to read
// that text and send such a window nothing; for a window of another thread
// of this process it would send WM_GETTEXT, so its text is left empty.
inline int32_t stored_text(HWND window, char16_t* buffer, int32_t count,
                           InternalGetWindowTextFn internal) {
  auto* units = reinterpret_cast<LPWSTR>(buffer);
  if (internal != nullptr) return internal(window, units, count);
  if (!of_this_process(window)) return GetWindowTextW(window, units, count);
  if (count > 0) buffer[0] = u'\0';
  return 0;
}

// Neither reader tells a length: read into a growing buffer until the text
// fits with room to spare.
inline int32_t stored_text_length(HWND window, InternalGetWindowTextFn internal) {
  constexpr int32_t kMaxUnits = 1 << 20;
  std::vector<char16_t> buffer(256);
  for (;;) {
    const int32_t count = static_cast<int32_t>(buffer.size());
    const int32_t copied = stored_text(window, buffer.data(), count, internal);
    if (copied < count - 1 || count >= kMaxUnits) return copied;
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace vorel::win32
