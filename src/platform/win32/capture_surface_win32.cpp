#include "platform/win32/capture_surface_win32.h"

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/win32/scoped.h"

namespace vorel::win32 {
namespace {

HWND to_hwnd(platform::WindowHandle handle) {
  return reinterpret_cast<HWND>(static_cast<intptr_t>(handle));
}

// Top-down rows of 32-bit pixels without a colour table: memory order blue,
// green, red and a byte without colour, rows with nothing between them
// (a 32-bit row is always a whole number of DWORDs).
BITMAPINFO describe(const platform::CaptureSource& source) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  info.bmiHeader.biWidth = source.width;
  info.bmiHeader.biHeight = -source.height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  return info;
}

// The DIB section and the address of its pixels, which live as long as it.
class DibSection {
 public:
  DibSection(HDC dc, const BITMAPINFO& info) : bitmap_(create(dc, info, &bits_)) {}

  HBITMAP get() const noexcept { return bitmap_.get(); }
  const uint8_t* bits() const noexcept { return bitmap_.get() != nullptr ? bits_ : nullptr; }

 private:
  static HBITMAP create(HDC dc, const BITMAPINFO& info, const uint8_t** bits) {
    void* address = nullptr;
    HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &address, nullptr, 0);
    *bits = static_cast<const uint8_t*>(address);
    return bitmap;
  }

  const uint8_t* bits_ = nullptr;
  ScopedGdiObject bitmap_;
};

// The GDI objects of one capture, in the order they are made; members are
// destroyed newest first, which puts the old selection back before the
// bitmap is deleted.
//
// GDI draws straight into the DIB section's memory, so a frame needs no
// read-out call (GetDIBits must not be given a bitmap that is selected into
// a device context, and would copy every frame once more).
class GdiCaptureSurface final : public platform::CaptureSurface {
 public:
  GdiCaptureSurface(const platform::CaptureSource& source, PrintWindowFn print_window,
                    DPI_AWARENESS_CONTEXT window_awareness)
      : source_(source),
        window_(source.is_window ? to_hwnd(source.window) : nullptr),
        print_window_(print_window),
        window_awareness_(window_awareness),
        source_dc_(window_),
        memory_dc_(CreateCompatibleDC(source_dc_.get())),
        dib_(source_dc_.get(), describe(source)),
        selection_(memory_dc_.get(), dib_.get()) {
    // Without a DIB section every grab delivers zeros, from memory of ours.
    if (dib_.bits() == nullptr) {
      zeros_.assign(static_cast<size_t>(source.width) * static_cast<size_t>(source.height) * 4, 0);
    }
  }

  const uint8_t* grab() override {
    if (dib_.bits() == nullptr) return zeros_.data();
    // Failures are not reported: the frame holds whatever the bitmap holds.
    if (source_.is_window) {
      // In the window's own pixels, as it was measured.
      ScopedThreadDpiAwareness as_window(window_awareness_);
      (void)print_window_(window_, memory_dc_.get(), kPrintWindowFlags);
    } else {
      (void)BitBlt(memory_dc_.get(), 0, 0, source_.width, source_.height, source_dc_.get(),
                   source_.origin_x, source_.origin_y, SRCCOPY);
    }
    // GDI may batch drawing calls: they must all have reached the memory
    // before it is read.
    (void)GdiFlush();
    return dib_.bits();
  }

 private:
  platform::CaptureSource source_;
  HWND window_;
  PrintWindowFn print_window_;
  DPI_AWARENESS_CONTEXT window_awareness_;  // null for a monitor, or when unknown
  ScopedWindowDc source_dc_;
  ScopedMemoryDc memory_dc_;
  DibSection dib_;
  ScopedSelection selection_;
  std::vector<uint8_t> zeros_;
};

}  // namespace

std::unique_ptr<platform::CaptureSurface> make_gdi_capture_surface(
    const platform::CaptureSource& source, PrintWindowFn print_window) {
  // A window's surfaces are made, and it is drawn, with the window's own
  // DPI awareness: the frame then holds its client area at the size
  // get_client_rect gives, whatever the display scaling.
  const DPI_AWARENESS_CONTEXT awareness =
      source.is_window ? window_dpi_awareness(to_hwnd(source.window)) : nullptr;
  ScopedThreadDpiAwareness as_window(awareness);
  return std::make_unique<GdiCaptureSurface>(source, print_window, awareness);
}

}  // namespace vorel::win32
