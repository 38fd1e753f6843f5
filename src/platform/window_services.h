// Window and monitor services: the user-interface operations that discovery
// and video capture call, at the grain of the Windows calls so that the rules
// built on them (filters, order, fallbacks) live above the platform and are
// the same on every backend.
#pragma once

#include <cstdint>
#include <memory>

#include "util/function_ref.h"

namespace vorel::platform {

// A window handle: the HWND value on Windows, the X window id on Linux.
using WindowHandle = int64_t;
// An opaque monitor handle, valid during one monitor enumeration.
using MonitorHandle = uintptr_t;

struct Rect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;
};

inline constexpr uint32_t kMonitorPrimary = 1;  // MONITORINFOF_PRIMARY

// The members of MONITORINFOEXW that callers read.
struct MonitorInfoEx {
  Rect monitor;            // rcMonitor, virtual-desktop coordinates
  Rect work;               // rcWork
  uint32_t flags = 0;      // dwFlags
  char16_t device[32] = {};  // szDevice, NUL-padded
};

// What one capture grabs: a window's client area (origin 0, 0) or a rectangle
// of the virtual screen. width * height * 4 fits in a signed 32-bit integer.
struct CaptureSource {
  bool is_window = false;
  WindowHandle window = 0;
  int32_t origin_x = 0;
  int32_t origin_y = 0;
  int32_t width = 0;
  int32_t height = 0;
};

// The drawing surfaces of one capture, set up once and reused for every
// frame; destroying it releases them, newest first.
class CaptureSurface {
 public:
  virtual ~CaptureSurface() = default;
  // Grabs one frame and returns its pixels: width * height * 4 bytes, rows
  // top to bottom with nothing between them, each pixel blue, green, red and
  // a byte without colour. The pointer stays valid until the next grab or
  // the surface's end. There is no failure outcome: a grab that fails leaves
  // what the buffer held before (zeros at first).
  virtual const uint8_t* grab() = 0;

  // The same grab in two halves, so that the caller can hand over the last
  // frame while the system fills the next one: begin_grab() starts a grab,
  // finish_grab() waits for it and returns its pixels, as grab() does. The
  // pixels returned before stay valid and unchanged until finish_grab()
  // returns; a grab begun and never finished is dropped with the surface.
  // By default the whole grab happens in finish_grab().
  virtual void begin_grab() {}
  virtual const uint8_t* finish_grab() { return grab(); }
};

// One session of window services, used by one thread. A session on Linux
// holds a connection to the X server; without a display it reports no
// windows and no monitors. On Windows a session makes its thread per-monitor
// DPI aware for its lifetime (restoring the thread's previous awareness at
// its end), so every size it reports is in physical pixels.
class WindowServices {
 public:
  virtual ~WindowServices() = default;

  // EnumWindows: calls `visit` once per top-level window, in one stable
  // order, while it returns true. False when the enumeration itself failed
  // (the last error tells why); the windows visited so far stand.
  virtual bool enum_windows(FunctionRef<bool(WindowHandle)> visit) = 0;
  // GetWindowTextLengthW: the title length in UTF-16 units, 0 for none.
  virtual int32_t get_window_text_length(WindowHandle window) = 0;
  // GetWindowTextW: copies at most count - 1 units and a terminating NUL;
  // returns the number of units copied, 0 on failure.
  virtual int32_t get_window_text(WindowHandle window, char16_t* buffer, int32_t count) = 0;
  // GetClassNameW, with the same copying rule.
  virtual int32_t get_class_name(WindowHandle window, char16_t* buffer, int32_t count) = 0;
  // GetWindowThreadProcessId: writes the owning process id, when known.
  virtual void get_window_process_id(WindowHandle window, uint32_t* pid) = 0;
  virtual bool is_window_visible(WindowHandle window) = 0;
  virtual bool is_window(WindowHandle window) = 0;

  // EnumDisplayMonitors over the whole virtual screen: calls `visit` once per
  // monitor, in one stable order, while it returns true.
  virtual bool enum_display_monitors(FunctionRef<bool(MonitorHandle)> visit) = 0;
  // GetMonitorInfoW with a MONITORINFOEXW; false when the call failed (the
  // structure is then left as it was).
  virtual bool get_monitor_info(MonitorHandle monitor, MonitorInfoEx* info) = 0;

  // GetClientRect: the client area in the window's own coordinates, so right
  // and bottom give its size; a minimised window has an empty one. False when
  // the call failed (the rectangle is then left as it was).
  virtual bool get_client_rect(WindowHandle window, Rect* rect) = 0;

  // Sets up the surfaces for one capture source. Never fails: set-up calls
  // that fail leave a surface whose grabs deliver zeros.
  virtual std::unique_ptr<CaptureSurface> create_capture_surface(const CaptureSource& source) = 0;
};

// A new session on the platform's backend.
std::unique_ptr<WindowServices> open_window_services();

}  // namespace vorel::platform
