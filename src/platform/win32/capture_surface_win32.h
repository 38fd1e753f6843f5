// The GDI capture surface: a monitor is copied from the screen with BitBlt,
// a window asks itself to draw with PrintWindow; both draw into a top-down
// 32-bit DIB section whose memory is the frame.
#pragma once

#include <memory>

#include "platform/win32/compat.h"
#include "platform/window_services.h"

namespace vorel::win32 {

// PrintWindow's flags. PW_CLIENTONLY: only the client area, from the
// bitmap's origin, as the surface is sized from GetClientRect (without it
// the window draws its frame and title bar there and the client area is cut
// at the right and bottom). PW_RENDERFULLCONTENT: everything the window
// shows, DirectComposition content included, not only what it paints on
// WM_PRINT. Spelled out: not every toolchain's headers have the second.
inline constexpr UINT kPrintClientOnly = 0x1;
inline constexpr UINT kPrintRenderFullContent = 0x2;
inline constexpr UINT kPrintWindowFlags = kPrintClientOnly | kPrintRenderFullContent;

// The PrintWindow the surface calls; tests put another in its place to see
// the arguments.
using PrintWindowFn = BOOL(WINAPI*)(HWND window, HDC dc, UINT flags);

std::unique_ptr<platform::CaptureSurface> make_gdi_capture_surface(
    const platform::CaptureSource& source, PrintWindowFn print_window = &PrintWindow);

}  // namespace vorel::win32
