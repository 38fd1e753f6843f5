// Capture surfaces on X11; see capture_surface_x11.h. This file chooses the
// surface: a monitor (x11_monitor_surface), a window (x11_window_surface),
// or frames of zeros when nothing can be read.
#include "platform/linux/capture_surface_x11.h"

#include <xcb/composite.h>
#include <xcb/xcb.h>

#include <optional>
#include <utility>

#include "platform/linux/x11_connection.h"
#include "platform/linux/x11_image_reader.h"
#include "platform/linux/x11_monitor_surface.h"
#include "platform/linux/x11_pixels.h"
#include "platform/linux/x11_window_surface.h"

namespace vorel::platform::x11 {
namespace {

size_t frame_bytes(const CaptureSource& source) {
  return static_cast<size_t>(source.width) * static_cast<size_t>(source.height) * kBytesPerPixel;
}

// Frames of zeros (or no bytes at all) for a source nothing can be read from.
class BlankSurface final : public CaptureSurface {
 public:
  explicit BlankSurface(size_t bytes) : buffer_(bytes) {}
  const uint8_t* grab() override { return buffer_.data(); }

 private:
  FrameBuffer buffer_;
};

std::optional<PixelConverter> converter_for(xcb_connection_t* c, uint8_t depth,
                                            xcb_visualid_t visual) {
  auto format = image_format_of(xcb_get_setup(c), depth, visual);
  if (!format) return std::nullopt;
  return PixelConverter::for_format(*format);
}

std::unique_ptr<CaptureSurface> window_surface(std::shared_ptr<X11Connection> x,
                                               const CaptureSource& source) {
  xcb_connection_t* c = x->get();
  const auto window = static_cast<xcb_window_t>(source.window);
  auto geometry_cookie = xcb_get_geometry(c, window);
  auto attributes_cookie = xcb_get_window_attributes(c, window);
  auto geometry = take_reply(c, xcb_get_geometry_reply, geometry_cookie);
  auto attributes = take_reply(c, xcb_get_window_attributes_reply, attributes_cookie);
  std::optional<PixelConverter> converter;
  if (geometry && attributes) converter = converter_for(c, geometry->depth, attributes->visual);
  if (!converter) return std::make_unique<BlankSurface>(frame_bytes(source));
  const bool composite = x->has_extension(&xcb_composite_id);
  return create_window_surface(
      std::move(x), source, *converter,
      WindowGeometry{geometry->width, geometry->height, geometry->border_width}, composite);
}

std::unique_ptr<CaptureSurface> monitor_surface(std::shared_ptr<X11Connection> x,
                                                const CaptureSource& source) {
  const xcb_screen_t& screen = x->screen();
  auto converter = converter_for(x->get(), screen.root_depth, screen.root_visual);
  if (!converter) return std::make_unique<BlankSurface>(frame_bytes(source));
  return create_monitor_surface(std::move(x), source, *converter);
}

}  // namespace

std::unique_ptr<CaptureSurface> create_capture_surface(std::shared_ptr<X11Connection> connection,
                                                       const CaptureSource& source) {
  if (source.width <= 0 || source.height <= 0) return std::make_unique<BlankSurface>(0);
  if (!connection || !connection->alive()) {
    return std::make_unique<BlankSurface>(frame_bytes(source));
  }
  if (source.is_window) {
    if (source.window < 1 || source.window > 0xFFFFFFFF) {
      return std::make_unique<BlankSurface>(frame_bytes(source));
    }
    return window_surface(std::move(connection), source);
  }
  return monitor_surface(std::move(connection), source);
}

}  // namespace vorel::platform::x11
