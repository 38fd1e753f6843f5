// Sizes of windows the system scales for the screen, when a thread of ours
// cannot take on the window's own DPI awareness to see them unscaled.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/win32/compat.h"
#include "platform/win32/scoped.h"

namespace vorel::win32 {

// The DPI a window draws at, and the DPI of the monitor it is shown on.
struct WindowScaling {
  UINT window_dpi = 0;
  UINT monitor_dpi = 0;
};

// For a window whose awareness context `context` is system aware: the DPI it
// draws at, told by that context (Windows 10 1803 on, the release that gives
// such a window a context of its own process's DPI), and the effective DPI
// of its monitor as a per-monitor aware thread sees it. Every function is
// looked up at run time. Nothing when the window is not system aware, or
// either DPI is unknown.
inline std::optional<WindowScaling> system_aware_scaling(HWND window,
                                                         DPI_AWARENESS_CONTEXT context) {
  using AwarenessFn = DPI_AWARENESS(WINAPI*)(DPI_AWARENESS_CONTEXT);
  using ContextDpiFn = UINT(WINAPI*)(DPI_AWARENESS_CONTEXT);
  // The second argument is a MONITOR_DPI_TYPE; 0 is MDT_EFFECTIVE_DPI.
  using MonitorDpiFn = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);
  constexpr int kEffectiveDpi = 0;

  if (context == nullptr) return std::nullopt;
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  const auto awareness =
      module_function<AwarenessFn>(user32, "GetAwarenessFromDpiAwarenessContext");
  const auto context_dpi = module_function<ContextDpiFn>(user32, "GetDpiFromDpiAwarenessContext");
  if (awareness == nullptr || context_dpi == nullptr) return std::nullopt;
  if (awareness(context) != DPI_AWARENESS_SYSTEM_AWARE) return std::nullopt;
  WindowScaling scaling;
  scaling.window_dpi = context_dpi(context);
  if (scaling.window_dpi == 0) return std::nullopt;

  // shcore (Windows 8.1 on) is held for this lookup only.
  ScopedLibrary shcore(LoadLibraryExW(L"shcore.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  const auto monitor_dpi = module_function<MonitorDpiFn>(shcore.get(), "GetDpiForMonitor");
  if (monitor_dpi == nullptr) return std::nullopt;
  // Any other awareness is told a DPI that is itself scaled.
  ScopedThreadDpiAwareness per_monitor(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2,
                                       DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE);
  if (!per_monitor.applied()) return std::nullopt;
  HMONITOR monitor = MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST);
  UINT dpi_x = 0;
  UINT dpi_y = 0;
  if (monitor == nullptr || FAILED(monitor_dpi(monitor, kEffectiveDpi, &dpi_x, &dpi_y)) ||
      dpi_x == 0) {
    return std::nullopt;
  }
  scaling.monitor_dpi = dpi_x;  // the same both ways on every Windows so far
  return scaling;
}

// A length as the system shows it (scaled to the monitor's DPI) in the
// pixels the window draws in, rounded to the nearest. A length that is not
// empty stays so.
inline int32_t to_window_pixels(int32_t physical, WindowScaling scaling) {
  if (physical <= 0 || scaling.window_dpi == 0 || scaling.monitor_dpi == 0) return physical;
  const int64_t scaled = (static_cast<int64_t>(physical) * scaling.window_dpi +
                          scaling.monitor_dpi / 2) /
                         scaling.monitor_dpi;
  if (scaled < 1) return 1;
  return scaled > INT32_MAX ? INT32_MAX : static_cast<int32_t>(scaled);
}

}  // namespace vorel::win32
