// Reading rectangles of drawables as Z-format images: into segments of
// memory shared with the server (MIT-SHM) where it offers them, else from
// GetImage replies. Requests and replies are separate steps, so a caller can
// do other work while the server fills the next image.
//
// Every request that may fail is checked or has its reply discarded, so no X
// error reaches the event queue, which nobody reads.
#pragma once

#include <xcb/xcb.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/linux/x11_pixels.h"

namespace vorel::platform::x11 {

class X11Connection;

// The image format of a drawable of `depth` drawn with `visual`: only
// TrueColor visuals are read; nullopt for anything else.
std::optional<ImageFormat> image_format_of(const xcb_setup_t* setup, uint8_t depth,
                                           xcb_visualid_t visual);

// A segment shared with the server; see the .cpp for its parts. Fresh
// segments are zero-filled.
class SharedSegment;

class ImageReader {
 public:
  // For rectangles of at most `max_width` x `max_height` pixels in the
  // format `converter` reads. With shared memory, two segments are used in
  // turn, so the image received last stays intact while the next is read.
  ImageReader(const X11Connection& x, const PixelConverter& converter, uint16_t max_width,
              uint16_t max_height);
  ~ImageReader();
  ImageReader(const ImageReader&) = delete;
  ImageReader& operator=(const ImageReader&) = delete;

  // Whether images land in shared segments (two of them, always).
  bool shared() const;
  // The segment holding the image received last (zeros before the first),
  // or null without shared memory.
  const uint8_t* front_segment() const;

  // Asks for the `width` x `height` rectangle at (x, y); both sizes > 0 and
  // within the size the reader was made for. The request is on its way to
  // the server when this returns; nothing is waited for.
  void send(xcb_drawable_t drawable, int16_t x, int16_t y, uint16_t width, uint16_t height);

  // Waits for the rectangle sent last. With shared memory and an image in
  // frame layout: the segment now holding it, packed; null when the read
  // failed (the front segment then stays as it was).
  const uint8_t* receive_in_segment();

  // Waits for the rectangle sent last and writes its rows, converted, to
  // `to`, `stride` bytes apart. Without shared memory a failure can come
  // after some strips were written.
  bool receive(uint8_t* to, size_t stride);

 private:
  bool take_shm_reply();
  uint16_t strip_rows() const;

  xcb_connection_t* c_;
  PixelConverter converter_;
  std::unique_ptr<SharedSegment> segments_[2];  // both or neither
  int front_ = 0;  // the segment received last; requests go to the other
  unsigned int shm_sequence_ = 0;
  bool shm_pending_ = false;
  std::vector<unsigned int> strips_;  // GetImage requests not yet collected
  uint16_t width_ = 0;
  uint16_t height_ = 0;
};

}  // namespace vorel::platform::x11
