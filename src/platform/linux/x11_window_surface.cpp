#include "platform/linux/x11_window_surface.h"

#include <xcb/composite.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "platform/linux/x11_connection.h"
#include "platform/linux/x11_image_reader.h"

namespace vorel::platform::x11 {
namespace {

// Our automatic redirection of one window: the server keeps the window's
// content in a pixmap of its own and still shows it on the screen.
class CompositeRedirect {
 public:
  CompositeRedirect(xcb_connection_t* c, xcb_window_t window) : c_(c), window_(window) {
    // The server answers Composite requests by the version the client
    // announced, so announce one first.
    xcb_discard_reply(c, xcb_composite_query_version(c, 0, 4).sequence);
    owned_ = settle(c, xcb_composite_redirect_window_checked(c, window,
                                                             XCB_COMPOSITE_REDIRECT_AUTOMATIC))
                 .ok;
  }
  ~CompositeRedirect() {
    if (owned_) {
      settle(c_, xcb_composite_unredirect_window_checked(c_, window_,
                                                         XCB_COMPOSITE_REDIRECT_AUTOMATIC));
    }
  }
  CompositeRedirect(const CompositeRedirect&) = delete;
  CompositeRedirect& operator=(const CompositeRedirect&) = delete;

  // False for the root window, and for a window that is gone.
  bool owned() const { return owned_; }

 private:
  xcb_connection_t* c_;
  xcb_window_t window_;
  bool owned_ = false;
};

// The window's current pixmap under a name of ours, for one grab. Naming it
// afresh each time follows the window through resizes and unmap/map cycles,
// which give it new pixmaps; naming fails while it is unmapped.
class NamedPixmap {
 public:
  NamedPixmap(xcb_connection_t* c, xcb_window_t window, xcb_pixmap_t id) : c_(c), id_(id) {
    forget(c, xcb_composite_name_window_pixmap_checked(c, window, id));
  }
  ~NamedPixmap() { forget(c_, xcb_free_pixmap_checked(c_, id_)); }
  NamedPixmap(const NamedPixmap&) = delete;
  NamedPixmap& operator=(const NamedPixmap&) = delete;

 private:
  xcb_connection_t* c_;
  xcb_pixmap_t id_;
};

// A grab is one image request and its reply, plus a geometry request in the
// same round trip; the requests and the replies are its two halves. A whole
// frame read in frame layout is one of the shared segments; otherwise the
// rows go into the buffer at their place.
class WindowSurface final : public CaptureSurface {
 public:
  WindowSurface(std::shared_ptr<X11Connection> x, const CaptureSource& source,
                const PixelConverter& converter, WindowGeometry geometry, bool use_composite)
      : x_(std::move(x)),
        window_(static_cast<xcb_window_t>(source.window)),
        width_(static_cast<uint16_t>(std::min<int32_t>(source.width, UINT16_MAX))),
        height_(static_cast<uint16_t>(std::min<int32_t>(source.height, UINT16_MAX))),
        stride_(static_cast<size_t>(source.width) * kBytesPerPixel),
        bytes_(static_cast<size_t>(source.width) * static_cast<size_t>(source.height) *
               kBytesPerPixel),
        known_(geometry),
        buffer_(bytes_),
        reader_(*x_, converter, width_, height_) {
    if (use_composite) {
      redirect_.emplace(x_->get(), window_);
      if (redirect_->owned()) pixmap_ = xcb_generate_id(x_->get());
      if (pixmap_ == 0xFFFFFFFF) pixmap_ = 0;
    }
    // Only a whole frame read in frame layout can be a segment.
    segments_usable_ = reader_.shared() && converter.is_identity() &&
                       size_t{width_} * height_ * kBytesPerPixel == bytes_;
    frame_ = buffer_.data();
  }

  ~WindowSurface() override {
    if (pending_) xcb_discard_reply(x_->get(), pending_->geometry.sequence);
  }
  WindowSurface(const WindowSurface&) = delete;
  WindowSurface& operator=(const WindowSurface&) = delete;

  const uint8_t* grab() override {
    begin_grab();
    return finish_grab();
  }

  void begin_grab() override {
    if (!pending_) send();
  }

  const uint8_t* finish_grab() override {
    begin_grab();
    // A window found resized is read again at once, at its new size.
    if (receive() == Read::kResized) {
      send();
      receive();
    }
    return frame_;
  }

 private:
  enum class Read { kDone, kResized };
  struct Pending {
    xcb_get_geometry_cookie_t geometry;
    bool image_sent;
    bool direct;  // into a segment, as a whole frame
  };

  // The geometry request and the image request, in one go.
  void send() {
    xcb_connection_t* c = x_->get();
    const uint16_t width = std::min(width_, known_.width);
    const uint16_t height = std::min(height_, known_.height);
    const bool direct = width == width_ && height == height_ && segments_usable_;
    const bool image_sent = width > 0 && height > 0;
    const auto geometry_cookie = xcb_get_geometry(c, window_);
    if (pixmap_ != 0) {
      // Freed by a request after the image request, which the server
      // carries out first.
      NamedPixmap pixmap(c, window_, pixmap_);
      // The pixmap includes the border.
      const auto at = static_cast<int16_t>(known_.border);
      if (image_sent) reader_.send(pixmap_, at, at, width, height);
    } else if (image_sent) {
      reader_.send(window_, 0, 0, width, height);
    }
    pending_ = Pending{geometry_cookie, image_sent, direct};
  }

  Read receive() {
    const Pending p = *pending_;
    pending_.reset();
    xcb_connection_t* c = x_->get();
    auto geometry = take_reply(c, xcb_get_geometry_reply, p.geometry);
    if (p.image_sent && p.direct) {
      if (const uint8_t* segment = reader_.receive_in_segment()) frame_ = segment;
    } else if (p.image_sent) {
      // A partial read fills only part of the buffer: the rest of the frame
      // must be there already. (The read lands in the segment not holding
      // frame_, so frame_ is intact until it is copied.)
      if (frame_ != buffer_.data()) {
        std::memcpy(buffer_.data(), frame_, bytes_);
        frame_ = buffer_.data();
      }
      reader_.receive(buffer_.data(), stride_);
    }
    if (!geometry) return Read::kDone;  // gone or unreadable: keep the last frame
    const WindowGeometry now{geometry->width, geometry->height, geometry->border_width};
    if (now == known_) return Read::kDone;
    known_ = now;
    return Read::kResized;
  }

  std::shared_ptr<X11Connection> x_;
  xcb_window_t window_;
  uint16_t width_;  // of the frame
  uint16_t height_;
  size_t stride_;
  size_t bytes_;
  WindowGeometry known_;  // the window's, as last seen
  std::optional<CompositeRedirect> redirect_;
  xcb_pixmap_t pixmap_ = 0;  // the id grabs name the window's pixmap with; 0 without Composite
  FrameBuffer buffer_;
  ImageReader reader_;
  bool segments_usable_ = false;  // whole frames may be read into the segments
  const uint8_t* frame_ = nullptr;  // the buffer or a segment
  std::optional<Pending> pending_;  // requests sent whose replies are not yet taken
};

}  // namespace

std::unique_ptr<CaptureSurface> create_window_surface(std::shared_ptr<X11Connection> x,
                                                      const CaptureSource& source,
                                                      const PixelConverter& converter,
                                                      WindowGeometry geometry,
                                                      bool use_composite) {
  return std::make_unique<WindowSurface>(std::move(x), source, converter, geometry,
                                         use_composite);
}

}  // namespace vorel::platform::x11
