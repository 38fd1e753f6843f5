#include "platform/linux/x11_image_reader.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>

#include <algorithm>
#include <memory>
#include <utility>

#include "platform/linux/x11_connection.h"

namespace vorel::platform::x11 {
namespace {

constexpr uint32_t kAllPlanes = 0xFFFFFFFF;
// Without shared memory an image comes in strips of about this size, all
// asked for at once: copying one strip overlaps with the server preparing
// the next (a 1920x1080 frame took 1.9 ms instead of 2.5 ms on Xvfb), and
// no reply is frame-sized.
constexpr size_t kStripBytes = 512 * 1024;

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

}  // namespace

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

std::optional<ImageFormat> image_format_of(const xcb_setup_t* setup, uint8_t depth,
                                           xcb_visualid_t visual_id) {
  const xcb_format_t* format = nullptr;
  for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
    if (it.data->depth == depth) format = it.data;
  }
  const xcb_visualtype_t* visual = find_visual(setup, visual_id);
  if (format == nullptr || visual == nullptr || visual->_class != XCB_VISUAL_CLASS_TRUE_COLOR) {
    return std::nullopt;
  }
  return ImageFormat{format->bits_per_pixel, format->scanline_pad,
                     setup->image_byte_order == XCB_IMAGE_ORDER_LSB_FIRST, visual->red_mask,
                     visual->green_mask, visual->blue_mask};
}

ImageReader::ImageReader(const X11Connection& x, const PixelConverter& converter,
                         uint16_t max_width, uint16_t max_height)
    : c_(x.get()), converter_(converter) {
  const size_t max_bytes = converter_.source_row_bytes(max_width) * max_height;
  if (max_bytes > 0 && x.has_extension(&xcb_shm_id)) {
    for (auto& segment : segments_) {
      segment = std::make_unique<SharedSegment>(c_, max_bytes);
      if (!segment->attached()) {
        segments_[0].reset();
        segments_[1].reset();
        break;
      }
    }
  }
  // Room for the most strips a rectangle can take, so reads never allocate.
  if (!shared()) strips_.reserve(2 * (max_bytes / kStripBytes) + 2);
}

ImageReader::~ImageReader() {
  if (shm_pending_) xcb_discard_reply(c_, shm_sequence_);
  for (unsigned int sequence : strips_) xcb_discard_reply(c_, sequence);
}

bool ImageReader::shared() const { return segments_[1] != nullptr; }

const uint8_t* ImageReader::front_segment() const {
  return shared() ? segments_[front_]->data() : nullptr;
}

void ImageReader::send(xcb_drawable_t drawable, int16_t x, int16_t y, uint16_t width,
                       uint16_t height) {
  width_ = width;
  height_ = height;
  if (shared()) {
    shm_sequence_ = xcb_shm_get_image(c_, drawable, x, y, width, height, kAllPlanes,
                                      XCB_IMAGE_FORMAT_Z_PIXMAP, segments_[1 - front_]->seg(), 0)
                        .sequence;
    shm_pending_ = true;
    xcb_flush(c_);  // XCB holds requests back until a reply is waited for
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
  xcb_flush(c_);
}

// The reply to the shared read sent last: whether the whole image arrived.
bool ImageReader::take_shm_reply() {
  if (!shm_pending_) return false;
  shm_pending_ = false;
  auto reply =
      take_reply(c_, xcb_shm_get_image_reply, xcb_shm_get_image_cookie_t{shm_sequence_});
  return reply && reply->size >= converter_.source_row_bytes(width_) * height_;
}

const uint8_t* ImageReader::receive_in_segment() {
  if (!shared() || !converter_.is_identity() || !take_shm_reply()) return nullptr;
  front_ = 1 - front_;
  return segments_[front_]->data();
}

bool ImageReader::receive(uint8_t* to, size_t stride) {
  const size_t source_row = converter_.source_row_bytes(width_);
  if (shared()) {
    if (!take_shm_reply()) return false;
    // The copy is made, so the segment just read may be the next one's.
    copy_rows(converter_, segments_[1 - front_]->data(), source_row, to, stride, width_, height_);
    return true;
  }
  bool ok = true;
  const uint16_t rows = strip_rows();
  size_t top = 0;
  for (unsigned int sequence : strips_) {
    const size_t strip = std::min<size_t>(rows, height_ - top);
    auto image = take_reply(c_, xcb_get_image_reply, xcb_get_image_cookie_t{sequence});
    if (ok && image &&
        static_cast<size_t>(xcb_get_image_data_length(image.get())) >= source_row * strip) {
      copy_rows(converter_, xcb_get_image_data(image.get()), source_row, to + top * stride,
                stride, width_, strip);
    } else {
      ok = false;  // the remaining replies are still collected
    }
    top += strip;
  }
  strips_.clear();
  return ok;
}

uint16_t ImageReader::strip_rows() const {
  const size_t row = std::max<size_t>(converter_.source_row_bytes(width_), 1);
  return static_cast<uint16_t>(std::clamp<size_t>(kStripBytes / row, 1, UINT16_MAX));
}

}  // namespace vorel::platform::x11
