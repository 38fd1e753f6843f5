// A monitor on X11: a rectangle of the root window. The part of it that
// lies off the screen (where an image request would fail altogether) reads
// as zeros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/linux/x11_pixels.h"
#include "platform/window_services.h"

namespace vorel::platform::x11 {

class X11Connection;

// The part of a monitor that lies on a screen of the given size, in screen
// coordinates (so it fits X's 16-bit ones), and where it goes in the frame.
struct ScreenPart {
  int16_t x = 0;
  int16_t y = 0;
  uint16_t width = 0;  // 0 when no part is on the screen
  uint16_t height = 0;
  size_t frame_offset = 0;  // bytes from the frame's start to the part's first pixel
};

ScreenPart part_on_screen(const CaptureSource& source, uint16_t screen_width,
                          uint16_t screen_height);

// The surface for a monitor source, reading the root window through `x`.
std::unique_ptr<CaptureSurface> create_monitor_surface(std::shared_ptr<X11Connection> x,
                                                       const CaptureSource& source,
                                                       const PixelConverter& converter);

}  // namespace vorel::platform::x11
