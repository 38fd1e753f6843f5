// One window's content on X11, in its own coordinates. Through Composite,
// parts that are covered or off the screen are still its own; without it, a
// window that is partly off the screen cannot be read at all. An unmapped
// window cannot be read either: the frame then keeps what it held.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/linux/x11_pixels.h"
#include "platform/window_services.h"

namespace vorel::platform::x11 {

class X11Connection;

struct WindowGeometry {
  uint16_t width = 0;
  uint16_t height = 0;
  uint16_t border = 0;
  bool operator==(const WindowGeometry&) const = default;
};

// The surface for a window source whose geometry is `geometry` now.
std::unique_ptr<CaptureSurface> create_window_surface(std::shared_ptr<X11Connection> x,
                                                      const CaptureSource& source,
                                                      const PixelConverter& converter,
                                                      WindowGeometry geometry,
                                                      bool use_composite);

}  // namespace vorel::platform::x11
