// Capture surfaces on X11; see capture_surface_x11.h.
//
// A grab is one image request and its reply, plus for a window a geometry
// request in the same round trip. The server writes the pixels into a shared
// segment (ShmGetImage) or sends them in the reply (GetImage). When a whole
// frame lands in the segment, the segment is the frame and nothing is copied
// here; otherwise the rows go into a zero-filled buffer at their place.
//
// Every request that may fail is checked or has its reply discarded, so no X
// error reaches the event queue, which nobody reads.
#include "platform/linux/capture_surface_x11.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/composite.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "platform/linux/x11_connection.h"

namespace vorel::platform::x11 {
namespace {

constexpr uint32_t kAllPlanes = 0xFFFFFFFF;
constexpr size_t kBytesPerPixel = 4;
// Without shared memory an image comes in strips of about this size, all
// asked for at once: copying one strip overlaps with the server preparing
// the next (a 1920x1080 frame took 1.9 ms instead of 2.5 ms on Xvfb), and
// no reply is frame-sized.
constexpr size_t kStripBytes = 512 * 1024;

// Drops the server's answer to a request without a reply: an error it
// causes is discarded instead of queued as an event.
void forget(xcb_connection_t* c, xcb_void_cookie_t cookie) {
  xcb_discard_reply(c, cookie.sequence);
}

// Waits until the server has carried out a request. A broken connection is
// a failure too, with no error code.
struct Outcome {
  bool ok;
  uint8_t error_code;
};

Outcome settle(xcb_connection_t* c, xcb_void_cookie_t cookie) {
  XcbPtr<xcb_generic_error_t> error(xcb_request_check(c, cookie));
  if (error) return {false, error->error_code};
  return {xcb_connection_has_error(c) == 0, 0};
}

const xcb_visualtype_t* find_visual(const xcb_setup_t* setup, xcb_visualid_t id) {
  for (auto screens = xcb_setup_roots_iterator(setup); screens.rem > 0;
       xcb_screen_next(&screens)) {
    for (auto depths = xcb_screen_allowed_depths_iterator(screens.data); depths.rem > 0;
         xcb_depth_next(&depths)) {
      for (auto visuals = xcb_depth_visuals_iterator(depths.data); visuals.rem > 0;
           xcb_visualtype_next(&visuals)) {
        if (visuals.data->visual_id == id) return visuals.data;
      }
    }
  }
  return nullptr;
}

// Whether a drawable of `depth` and `visual` reads back as packed 32-bit
// pixels with blue in the first byte, red in the third: the frame format.
bool reads_as_bgrx(const xcb_setup_t* setup, uint8_t depth, xcb_visualid_t visual_id) {
  if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) return false;
  const xcb_format_t* format = nullptr;
  for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
    if (it.data->depth == depth) format = it.data;
  }
  if (format == nullptr || format->bits_per_pixel != 32 || format->scanline_pad > 32) {
    return false;
  }
  const xcb_visualtype_t* visual = find_visual(setup, visual_id);
  return visual != nullptr && visual->_class == XCB_VISUAL_CLASS_TRUE_COLOR &&
         visual->red_mask == 0xFF0000 && visual->green_mask == 0xFF00 &&
         visual->blue_mask == 0xFF;
}

// The frame buffer, zero-filled. calloc leaves the zeroing to fresh kernel
// pages, so a buffer that is never written costs no memory.
class FrameBuffer {
 public:
  explicit FrameBuffer(size_t bytes)
      : data_(static_cast<uint8_t*>(std::calloc(std::max<size_t>(bytes, 1), 1))) {
    if (!data_) throw std::bad_alloc();
  }
  uint8_t* data() const { return data_.get(); }

 private:
  std::unique_ptr<uint8_t, FreeDeleter> data_;
};

// A System V shared-memory id.
class SysvShmId {
 public:
  explicit SysvShmId(size_t bytes) : id_(shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600)) {}
  ~SysvShmId() { remove(); }
  SysvShmId(const SysvShmId&) = delete;
  SysvShmId& operator=(const SysvShmId&) = delete;

  int get() const { return id_; }
  // Once both sides are attached the id is no longer needed; removing it
  // lets the memory go with the last detach, even if this process is killed.
  void remove() {
    if (id_ >= 0) shmctl(id_, IPC_RMID, nullptr);
    id_ = -1;
  }

 private:
  int id_;
};

// This process's mapping of a segment.
class SysvShmMapping {
 public:
  explicit SysvShmMapping(int id) {
    if (id < 0) return;
    void* address = shmat(id, nullptr, 0);
    if (address != reinterpret_cast<void*>(static_cast<intptr_t>(-1))) address_ = address;
  }
  ~SysvShmMapping() {
    if (address_ != nullptr) shmdt(address_);
  }
  SysvShmMapping(const SysvShmMapping&) = delete;
  SysvShmMapping& operator=(const SysvShmMapping&) = delete;

  uint8_t* data() const { return static_cast<uint8_t*>(address_); }

 private:
  void* address_ = nullptr;
};

// The server's attachment of a segment. Attaching fails when the server
// cannot reach our memory, for example across a network.
class ServerShmAttachment {
 public:
  ServerShmAttachment(xcb_connection_t* c, int shm_id) : c_(c) {
    if (shm_id < 0) return;
    const xcb_shm_seg_t seg = xcb_generate_id(c);
    if (seg == 0xFFFFFFFF) return;
    if (settle(c, xcb_shm_attach_checked(c, seg, static_cast<uint32_t>(shm_id), 0)).ok) {
      seg_ = seg;
    }
  }
  ~ServerShmAttachment() {
    if (seg_ != 0) settle(c_, xcb_shm_detach_checked(c_, seg_));
  }
  ServerShmAttachment(const ServerShmAttachment&) = delete;
  ServerShmAttachment& operator=(const ServerShmAttachment&) = delete;

  xcb_shm_seg_t get() const { return seg_; }  // 0 when not attached

 private:
  xcb_connection_t* c_;
  xcb_shm_seg_t seg_ = 0;
};

// A segment shared with the server; fresh segments are zero-filled.
class SharedSegment {
 public:
  SharedSegment(xcb_connection_t* c, size_t bytes)
      : id_(bytes), mapping_(id_.get()), attachment_(c, mapping_.data() ? id_.get() : -1) {
    id_.remove();
  }

  bool attached() const { return attachment_.get() != 0; }
  uint8_t* data() const { return mapping_.data(); }
  xcb_shm_seg_t seg() const { return attachment_.get(); }

 private:
  SysvShmId id_;
  SysvShmMapping mapping_;
  ServerShmAttachment attachment_;
};

// Reads rectangles of drawables as Z-format images, one rectangle at a
// time: into the shared segment when the server attached one, else from
// GetImage replies.
class ImageReader {
 public:
  ImageReader(const X11Connection& x, size_t max_bytes) : c_(x.get()) {
    if (max_bytes > 0 && x.has_extension(&xcb_shm_id)) {
      shm_.emplace(c_, max_bytes);
      if (!shm_->attached()) shm_.reset();
    }
    // Room for the most strips a rectangle can take, so reads never allocate.
    if (!shm_) strips_.reserve(2 * (max_bytes / kStripBytes) + 2);
  }
  ~ImageReader() {
    if (shm_pending_) xcb_discard_reply(c_, shm_sequence_);
    for (unsigned int sequence : strips_) xcb_discard_reply(c_, sequence);
  }
  ImageReader(const ImageReader&) = delete;
  ImageReader& operator=(const ImageReader&) = delete;

  // Where shared reads land: null without a segment.
  const uint8_t* segment() const { return shm_ ? shm_->data() : nullptr; }

  // Asks for the `width` x `height` rectangle at (x, y); both sizes > 0 and
  // within the size the reader was made for.
  void send(xcb_drawable_t drawable, int16_t x, int16_t y, uint16_t width, uint16_t height) {
    width_ = width;
    height_ = height;
    if (shm_) {
      shm_sequence_ = xcb_shm_get_image(c_, drawable, x, y, width, height, kAllPlanes,
                                        XCB_IMAGE_FORMAT_Z_PIXMAP, shm_->seg(), 0)
                          .sequence;
      shm_pending_ = true;
      return;
    }
    const uint16_t rows = strip_rows();
    for (uint16_t top = 0; top < height;) {
      const auto strip = static_cast<uint16_t>(std::min<int>(rows, height - top));
      strips_.push_back(xcb_get_image(c_, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, x,
                                      static_cast<int16_t>(y + top), width, strip, kAllPlanes)
                            .sequence);
      top = static_cast<uint16_t>(top + strip);
    }
  }

  // Waits for the rectangle sent last and leaves it packed in segment().
  bool receive_in_segment() {
    if (!shm_) return false;
    shm_pending_ = false;
    auto reply =
        take_reply(c_, xcb_shm_get_image_reply, xcb_shm_get_image_cookie_t{shm_sequence_});
    return reply && reply->size >= size_t{width_} * height_ * kBytesPerPixel;
  }

  // Waits for the rectangle sent last and copies its rows to `to`, `stride`
  // bytes apart. Without a segment a failure can come after some strips
  // were copied.
  bool receive(uint8_t* to, size_t stride) {
    if (shm_) {
      if (!receive_in_segment()) return false;
      copy_rows(shm_->data(), to, stride, 0, height_);
      return true;
    }
    const size_t row = size_t{width_} * kBytesPerPixel;
    bool ok = true;
    const uint16_t rows = strip_rows();
    size_t top = 0;
    for (unsigned int sequence : strips_) {
      const size_t strip = std::min<size_t>(rows, height_ - top);
      auto image = take_reply(c_, xcb_get_image_reply, xcb_get_image_cookie_t{sequence});
      if (ok && image &&
          static_cast<size_t>(xcb_get_image_data_length(image.get())) >= row * strip) {
        copy_rows(xcb_get_image_data(image.get()), to, stride, top, strip);
      } else {
        ok = false;  // the remaining replies are still collected
      }
      top += strip;
    }
    strips_.clear();
    return ok;
  }

 private:
  uint16_t strip_rows() const {
    const size_t row = size_t{width_} * kBytesPerPixel;
    return static_cast<uint16_t>(std::clamp<size_t>(kStripBytes / row, 1, UINT16_MAX));
  }

  // Rows [first, first + count) of a packed rectangle, from `from` (holding
  // those rows) to their place in `to`.
  void copy_rows(const uint8_t* from, uint8_t* to, size_t stride, size_t first,
                 size_t count) const {
    const size_t row = size_t{width_} * kBytesPerPixel;
    if (stride == row) {
      std::memcpy(to + first * stride, from, row * count);
      return;
    }
    for (size_t y = 0; y < count; ++y) std::memcpy(to + (first + y) * stride, from + y * row, row);
  }

  xcb_connection_t* c_;
  std::optional<SharedSegment> shm_;
  unsigned int shm_sequence_ = 0;
  bool shm_pending_ = false;
  std::vector<unsigned int> strips_;  // GetImage requests not yet collected
  uint16_t width_ = 0;
  uint16_t height_ = 0;
};

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

// A rectangle of the root window. The part of it that lies off the screen
// (where GetImage would fail altogether) stays zeros.
class MonitorSurface final : public CaptureSurface {
 public:
  MonitorSurface(std::shared_ptr<X11Connection> x, const CaptureSource& source,
                 uint16_t screen_width, uint16_t screen_height)
      : x_(std::move(x)), stride_(static_cast<size_t>(source.width) * kBytesPerPixel) {
    const int64_t left = std::max<int64_t>(source.origin_x, 0);
    const int64_t top = std::max<int64_t>(source.origin_y, 0);
    const int64_t right = std::min<int64_t>(int64_t{source.origin_x} + source.width, screen_width);
    const int64_t bottom =
        std::min<int64_t>(int64_t{source.origin_y} + source.height, screen_height);
    if (right > left && bottom > top) {
      // Within the screen, so each value fits X's 16-bit coordinates.
      x_left_ = static_cast<int16_t>(left);
      x_top_ = static_cast<int16_t>(top);
      width_ = static_cast<uint16_t>(right - left);
      height_ = static_cast<uint16_t>(bottom - top);
      offset_ = static_cast<size_t>(top - source.origin_y) * stride_ +
                static_cast<size_t>(left - source.origin_x) * kBytesPerPixel;
    }
    const size_t clipped_bytes = size_t{width_} * height_ * kBytesPerPixel;
    reader_.emplace(*x_, clipped_bytes);
    direct_ = reader_->segment() != nullptr && clipped_bytes == frame_bytes(source);
    if (!direct_) buffer_.emplace(frame_bytes(source));
  }

  const uint8_t* grab() override {
    if (width_ == 0) return buffer_->data();
    reader_->send(x_->root(), x_left_, x_top_, width_, height_);
    if (direct_) {
      // A failed read leaves the segment, and so the last frame, untouched.
      reader_->receive_in_segment();
      return reader_->segment();
    }
    reader_->receive(buffer_->data() + offset_, stride_);
    return buffer_->data();
  }

 private:
  std::shared_ptr<X11Connection> x_;
  size_t stride_;
  int16_t x_left_ = 0;
  int16_t x_top_ = 0;
  uint16_t width_ = 0;  // the part on the screen; 0 when none is
  uint16_t height_ = 0;
  size_t offset_ = 0;  // of that part in the frame
  std::optional<ImageReader> reader_;
  bool direct_ = false;  // frames are the segment itself
  std::optional<FrameBuffer> buffer_;
};

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

struct WindowGeometry {
  uint16_t width = 0;
  uint16_t height = 0;
  uint16_t border = 0;
  bool operator==(const WindowGeometry&) const = default;
};

// One window's content in its own coordinates. Through Composite, covered
// and off-screen parts are the window's own; without it, a window that is
// partly off the screen cannot be read at all. An unmapped window cannot be
// read either: the frame then keeps what it held.
class WindowSurface final : public CaptureSurface {
 public:
  WindowSurface(std::shared_ptr<X11Connection> x, const CaptureSource& source,
                WindowGeometry geometry, bool use_composite)
      : x_(std::move(x)),
        window_(static_cast<xcb_window_t>(source.window)),
        width_(static_cast<uint16_t>(std::min<int32_t>(source.width, UINT16_MAX))),
        height_(static_cast<uint16_t>(std::min<int32_t>(source.height, UINT16_MAX))),
        stride_(static_cast<size_t>(source.width) * kBytesPerPixel),
        bytes_(frame_bytes(source)),
        known_(geometry) {
    if (use_composite) {
      redirect_.emplace(x_->get(), window_);
      if (redirect_->owned()) pixmap_ = xcb_generate_id(x_->get());
      if (pixmap_ == 0xFFFFFFFF) pixmap_ = 0;
    }
    buffer_.emplace(bytes_);
    reader_.emplace(*x_, size_t{width_} * height_ * kBytesPerPixel);
    // Only a whole frame read packed is laid out as the frame.
    if (size_t{width_} * height_ * kBytesPerPixel == bytes_) segment_ = reader_->segment();
    frame_ = buffer_->data();
  }

  const uint8_t* grab() override {
    // A window found resized is read again at once, at its new size.
    if (read() == Read::kResized) read();
    return frame_;
  }

 private:
  enum class Read { kDone, kResized };

  Read read() {
    xcb_connection_t* c = x_->get();
    const uint16_t width = std::min(width_, known_.width);
    const uint16_t height = std::min(height_, known_.height);
    const bool direct = width == width_ && height == height_ && segment_ != nullptr;

    auto geometry_cookie = xcb_get_geometry(c, window_);
    std::optional<NamedPixmap> pixmap;
    xcb_drawable_t drawable = window_;
    int16_t at = 0;
    if (pixmap_ != 0) {
      pixmap.emplace(c, window_, pixmap_);
      drawable = pixmap_;
      at = static_cast<int16_t>(known_.border);  // the pixmap includes the border
    }
    const bool sent = width > 0 && height > 0;
    if (sent) {
      // A partial read overwrites the segment: the rest of the frame must
      // survive in the buffer.
      if (!direct && frame_ == segment_) {
        std::memcpy(buffer_->data(), segment_, bytes_);
        frame_ = buffer_->data();
      }
      reader_->send(drawable, at, at, width, height);
    }

    auto geometry = take_reply(c, xcb_get_geometry_reply, geometry_cookie);
    if (sent && direct) {
      if (reader_->receive_in_segment()) frame_ = segment_;
    } else if (sent) {
      reader_->receive(buffer_->data(), stride_);  // frame_ is the buffer already
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
  std::optional<FrameBuffer> buffer_;
  std::optional<ImageReader> reader_;
  const uint8_t* segment_ = nullptr;  // where whole frames are read to, when shared
  const uint8_t* frame_ = nullptr;    // the buffer or the segment
};

std::unique_ptr<CaptureSurface> create_window_surface(std::shared_ptr<X11Connection> x,
                                                      const CaptureSource& source) {
  xcb_connection_t* c = x->get();
  const auto window = static_cast<xcb_window_t>(source.window);
  auto geometry_cookie = xcb_get_geometry(c, window);
  auto attributes_cookie = xcb_get_window_attributes(c, window);
  auto geometry = take_reply(c, xcb_get_geometry_reply, geometry_cookie);
  auto attributes = take_reply(c, xcb_get_window_attributes_reply, attributes_cookie);
  if (!geometry || !attributes ||
      !reads_as_bgrx(xcb_get_setup(c), geometry->depth, attributes->visual)) {
    return std::make_unique<BlankSurface>(frame_bytes(source));
  }
  const bool composite = x->has_extension(&xcb_composite_id);
  return std::make_unique<WindowSurface>(
      std::move(x), source,
      WindowGeometry{geometry->width, geometry->height, geometry->border_width}, composite);
}

std::unique_ptr<CaptureSurface> create_monitor_surface(std::shared_ptr<X11Connection> x,
                                                       const CaptureSource& source) {
  const xcb_screen_t& screen = x->screen();
  if (!reads_as_bgrx(xcb_get_setup(x->get()), screen.root_depth, screen.root_visual)) {
    return std::make_unique<BlankSurface>(frame_bytes(source));
  }
  // The root's size now, which RandR may have changed since we connected.
  uint16_t width = screen.width_in_pixels;
  uint16_t height = screen.height_in_pixels;
  xcb_connection_t* c = x->get();
  if (auto root = take_reply(c, xcb_get_geometry_reply, xcb_get_geometry(c, x->root()))) {
    width = root->width;
    height = root->height;
  }
  return std::make_unique<MonitorSurface>(std::move(x), source, width, height);
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
    return create_window_surface(std::move(connection), source);
  }
  return create_monitor_surface(std::move(connection), source);
}

}  // namespace vorel::platform::x11
