#include "platform/linux/x11_monitor_surface.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "platform/linux/x11_connection.h"
#include "platform/linux/x11_image_reader.h"

namespace vorel::platform::x11 {
namespace {

size_t frame_bytes(const CaptureSource& source) {
  return static_cast<size_t>(source.width) * static_cast<size_t>(source.height) * kBytesPerPixel;
}

// When the whole monitor is on the screen and the server writes frame rows,
// frames are the shared segments themselves, used in turn, and nothing is
// copied here; otherwise each image is written (converted) to its place in
// a buffer. Grabs come in two halves: the request, and the wait for its
// reply, so the caller can hand over the last frame in between.
class MonitorSurface final : public CaptureSurface {
 public:
  MonitorSurface(std::shared_ptr<X11Connection> x, const CaptureSource& source,
                 const PixelConverter& converter, ScreenPart part)
      : x_(std::move(x)),
        stride_(static_cast<size_t>(source.width) * kBytesPerPixel),
        part_(part),
        reader_(*x_, converter, part.width, part.height) {
    direct_ = reader_.shared() && converter.is_identity() && part.width == source.width &&
              part.height == source.height;
    if (direct_) {
      frame_ = reader_.front_segment();
    } else {
      buffer_.emplace(frame_bytes(source));
      frame_ = buffer_->data();
    }
  }

  const uint8_t* grab() override {
    begin_grab();
    return finish_grab();
  }

  void begin_grab() override {
    if (part_.width == 0 || sent_) return;
    reader_.send(x_->root(), part_.x, part_.y, part_.width, part_.height);
    sent_ = true;
  }

  const uint8_t* finish_grab() override {
    begin_grab();
    if (!sent_) return frame_;
    sent_ = false;
    if (direct_) {
      // A failed read leaves the last frame as it was.
      if (const uint8_t* segment = reader_.receive_in_segment()) frame_ = segment;
      return frame_;
    }
    reader_.receive(buffer_->data() + part_.frame_offset, stride_);
    return frame_;
  }

 private:
  std::shared_ptr<X11Connection> x_;
  size_t stride_;
  ScreenPart part_;
  ImageReader reader_;
  bool direct_ = false;
  bool sent_ = false;  // a request is out whose reply is not yet taken
  std::optional<FrameBuffer> buffer_;
  const uint8_t* frame_ = nullptr;  // the frame grabbed last
};

}  // namespace

ScreenPart part_on_screen(const CaptureSource& source, uint16_t screen_width,
                          uint16_t screen_height) {
  const int64_t left = std::max<int64_t>(source.origin_x, 0);
  const int64_t top = std::max<int64_t>(source.origin_y, 0);
  const int64_t right = std::min<int64_t>(int64_t{source.origin_x} + source.width, screen_width);
  const int64_t bottom =
      std::min<int64_t>(int64_t{source.origin_y} + source.height, screen_height);
  ScreenPart part;
  if (right <= left || bottom <= top) return part;
  // Within the screen, so each value fits X's 16-bit coordinates.
  part.x = static_cast<int16_t>(left);
  part.y = static_cast<int16_t>(top);
  part.width = static_cast<uint16_t>(right - left);
  part.height = static_cast<uint16_t>(bottom - top);
  part.frame_offset =
      static_cast<size_t>(top - source.origin_y) * static_cast<size_t>(source.width) *
          kBytesPerPixel +
      static_cast<size_t>(left - source.origin_x) * kBytesPerPixel;
  return part;
}

std::unique_ptr<CaptureSurface> create_monitor_surface(std::shared_ptr<X11Connection> x,
                                                       const CaptureSource& source,
                                                       const PixelConverter& converter) {
  // The root's size now, which RandR may have changed since we connected.
  uint16_t width = x->screen().width_in_pixels;
  uint16_t height = x->screen().height_in_pixels;
  xcb_connection_t* c = x->get();
  if (auto root = take_reply(c, xcb_get_geometry_reply, xcb_get_geometry(c, x->root()))) {
    width = root->width;
    height = root->height;
  }
  return std::make_unique<MonitorSurface>(std::move(x), source, converter,
                                          part_on_screen(source, width, height));
}

}  // namespace vorel::platform::x11
