// Window and monitor services on user32 and gdi32. Handles travel as the
// integer value of the HWND (sign-extended, as Windows hands it to 64-bit
// code).
#include <cstddef>
#include <cstdint>
#include <exception>
#include <iterator>
#include <memory>
#include <vector>

#include "platform/window_services.h"
#include "platform/win32/capture_surface_win32.h"
#include "platform/win32/compat.h"
#include "platform/win32/dpi_win32.h"
#include "platform/win32/scoped.h"
#include "platform/win32/window_text_win32.h"

namespace vorel::platform {
namespace {

using WindowVisitor = FunctionRef<bool(WindowHandle)>;
using MonitorVisitor = FunctionRef<bool(MonitorHandle)>;

HWND to_hwnd(WindowHandle handle) {
  return reinterpret_cast<HWND>(static_cast<intptr_t>(handle));
}

WindowHandle to_handle(HWND window) {
  return static_cast<WindowHandle>(reinterpret_cast<intptr_t>(window));
}

Rect to_rect(const RECT& r) {
  return Rect{static_cast<int32_t>(r.left), static_cast<int32_t>(r.top),
              static_cast<int32_t>(r.right), static_cast<int32_t>(r.bottom)};
}

// A visitor runs inside the system's enumeration: nothing it throws may
// unwind through the system's frames. The exception is kept, the
// enumeration ends, and the exception is thrown again once the system call
// has returned.
template <class Visitor>
struct Visit {
  const Visitor& visitor;
  std::exception_ptr thrown;

  template <class Handle>
  BOOL operator()(Handle handle) noexcept {
    try {
      return visitor(handle) ? TRUE : FALSE;
    } catch (...) {
      thrown = std::current_exception();
      return FALSE;
    }
  }

  bool finish(BOOL result) const {
    if (thrown) std::rethrow_exception(thrown);
    return result != FALSE;
  }
};

BOOL CALLBACK visit_window(HWND window, LPARAM param) {
  return (*reinterpret_cast<Visit<WindowVisitor>*>(param))(to_handle(window));
}

BOOL CALLBACK visit_monitor(HMONITOR monitor, HDC, LPRECT, LPARAM param) {
  return (*reinterpret_cast<Visit<MonitorVisitor>*>(param))(
      reinterpret_cast<MonitorHandle>(monitor));
}

static_assert(sizeof(MONITORINFOEXW) == 104, "MONITORINFOEXW as callers rely on it");

// Whether a window belongs to the calling thread. Only such a window is
// asked for its text with a message (its procedure is called directly, so
// nothing can block).
bool owned_by_this_thread(HWND window) {
  const DWORD thread = GetWindowThreadProcessId(window, nullptr);
  return thread == 0 || thread == GetCurrentThreadId();
}

class Win32WindowServices final : public WindowServices {
 public:
  bool enum_windows(WindowVisitor visit) override {
    Visit<WindowVisitor> state{visit, nullptr};
    return state.finish(EnumWindows(visit_window, reinterpret_cast<LPARAM>(&state)));
  }

  // A window of another thread is read from the text the system keeps and
  // is sent nothing. A message would make discovery wait for the window's
  // thread, which may never answer: a GUI thread of this process waiting
  // for something the caller holds (the interpreter lock, for one), or a
  // hung process. For another process's window that text is also what
  // GetWindowTextW reads; GetWindowTextLengthW, though, is documented to
  // send WM_GETTEXTLENGTH only within the process, and is not relied on to
  // keep to that.
  int32_t get_window_text_length(WindowHandle window) override {
    const HWND w = to_hwnd(window);
    if (!owned_by_this_thread(w)) {
      return win32::stored_text_length(w, win32::internal_get_window_text());
    }
    return GetWindowTextLengthW(w);
  }

  int32_t get_window_text(WindowHandle window, char16_t* buffer, int32_t count) override {
    const HWND w = to_hwnd(window);
    if (!owned_by_this_thread(w)) {
      return win32::stored_text(w, buffer, count, win32::internal_get_window_text());
    }
    return GetWindowTextW(w, reinterpret_cast<LPWSTR>(buffer), count);
  }

  int32_t get_class_name(WindowHandle window, char16_t* buffer, int32_t count) override {
    return GetClassNameW(to_hwnd(window), reinterpret_cast<LPWSTR>(buffer), count);
  }

  void get_window_process_id(WindowHandle window, uint32_t* pid) override {
    // Through a DWORD: the system leaves it alone when it cannot tell.
    DWORD value = *pid;
    (void)GetWindowThreadProcessId(to_hwnd(window), &value);
    *pid = value;
  }

  bool is_window_visible(WindowHandle window) override {
    return IsWindowVisible(to_hwnd(window)) != FALSE;
  }

  bool is_window(WindowHandle window) override { return IsWindow(to_hwnd(window)) != FALSE; }

  bool enum_display_monitors(MonitorVisitor visit) override {
    Visit<MonitorVisitor> state{visit, nullptr};
    return state.finish(EnumDisplayMonitors(nullptr, nullptr, visit_monitor,
                                            reinterpret_cast<LPARAM>(&state)));
  }

  bool get_monitor_info(MonitorHandle monitor, MonitorInfoEx* info) override {
    MONITORINFOEXW raw{};
    raw.cbSize = sizeof raw;
    if (!GetMonitorInfoW(reinterpret_cast<HMONITOR>(monitor), &raw)) return false;
    info->monitor = to_rect(raw.rcMonitor);
    info->work = to_rect(raw.rcWork);
    info->flags = raw.dwFlags;
    for (size_t i = 0; i < std::size(info->device); ++i) {
      info->device[i] = static_cast<char16_t>(raw.szDevice[i]);
    }
    return true;
  }

  // In the window's own pixels, which is what PrintWindow gives of it: a
  // window that is not per-monitor aware draws at its own (logical) size
  // and the system scales it only on the screen, so its physical size would
  // leave most of a frame empty. Per-monitor aware windows, and every
  // window where the system cannot tell a window's awareness, are measured
  // in physical pixels as the session's thread sees them. A system-aware
  // window whose context this thread cannot take (another process's, at
  // another system DPI) is measured physically and scaled back by its DPI
  // over its monitor's.
  bool get_client_rect(WindowHandle window, Rect* rect) override {
    const HWND w = to_hwnd(window);
    const DPI_AWARENESS_CONTEXT awareness = win32::window_dpi_awareness(w);
    RECT raw{};
    BOOL ok = FALSE;
    bool as_window = false;
    {
      win32::ScopedThreadDpiAwareness scope(awareness);
      ok = GetClientRect(w, &raw);
      as_window = scope.applied();
    }
    if (!ok) return false;
    if (awareness != nullptr && !as_window) {
      if (const auto scaling = win32::system_aware_scaling(w, awareness)) {
        // The client area's origin is always 0, 0.
        raw.right = win32::to_window_pixels(raw.right, *scaling);
        raw.bottom = win32::to_window_pixels(raw.bottom, *scaling);
      }
    }
    *rect = to_rect(raw);
    return true;
  }

  std::unique_ptr<CaptureSurface> create_capture_surface(const CaptureSource& source) override {
    return win32::make_gdi_capture_surface(source);
  }

 private:
  // Sizes, rectangles and pixels in physical pixels whatever the scaling
  // (a window's client area excepted, see get_client_rect): this thread
  // alone is per-monitor aware while the session lasts; the process's
  // awareness is the host's business. Both per-monitor kinds report
  // physical values.
  win32::ScopedThreadDpiAwareness physical_pixels_{DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2,
                                                   DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE};
};

}  // namespace

std::unique_ptr<WindowServices> open_window_services() {
  return std::make_unique<Win32WindowServices>();
}

}  // namespace vorel::platform
