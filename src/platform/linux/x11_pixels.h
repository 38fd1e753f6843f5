// Pixels as the X server hands them over, turned into frame rows: 32-bit
// pixels in memory order blue, green, red, unused. A TrueColor image of 32
// bits per pixel with the masks 0xFF0000, 0xFF00, 0xFF in LSBFirst order is
// already laid out that way and is only copied; other TrueColor images (16
// bits 5-6-5, 32 bits 10-10-10, 24 bits packed) are converted through their
// channel masks. Nothing here talks to the server.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace vorel::platform::x11 {

inline constexpr size_t kBytesPerPixel = 4;  // of a frame

// The layout of a Z-format image of one drawable, from the server's setup.
struct ImageFormat {
  uint8_t bits_per_pixel = 0;
  uint8_t scanline_pad = 0;  // bits each row is padded to
  bool lsb_first = true;     // the image byte order
  uint32_t red_mask = 0;
  uint32_t green_mask = 0;
  uint32_t blue_mask = 0;
};

// Turns rows of one image format into frame rows.
class PixelConverter {
 public:
  // Null for a format we cannot read: a pixel size other than 16, 24 or
  // 32 bits, a scanline pad that is not a whole number of bytes, or a mask
  // that is empty, not one run of bits or overlaps another.
  static std::optional<PixelConverter> for_format(const ImageFormat& format);

  // Whether image rows are frame rows already (then they are only copied).
  bool is_identity() const { return identity_; }
  // The bytes of one image row of `width` pixels, padding included.
  size_t source_row_bytes(size_t width) const;
  // `width` pixels of one image row to one frame row. The fourth byte of
  // each converted pixel is 0.
  void convert_row(const uint8_t* from, uint8_t* to, size_t width) const;

 private:
  struct Channel {
    uint32_t shift = 0;
    uint32_t bits = 0;
  };
  PixelConverter() = default;
  uint32_t pixel_at(const uint8_t* from, size_t i) const;
  uint32_t bgrx(uint32_t pixel) const;

  bool identity_ = false;
  size_t bytes_per_pixel_ = 4;
  size_t pad_bytes_ = 4;
  bool lsb_first_ = true;
  Channel red_, green_, blue_;
  // For 16-bit pixels: the frame pixel of every value, shared by copies.
  std::shared_ptr<const std::vector<uint32_t>> table_;
};

// `count` rows from `from` (`from_stride` bytes apart) to `to` (`to_stride`
// bytes apart), `width` pixels each, through `converter`.
void copy_rows(const PixelConverter& converter, const uint8_t* from, size_t from_stride,
               uint8_t* to, size_t to_stride, size_t width, size_t count);

// A zero-filled frame buffer. calloc leaves the zeroing to fresh kernel
// pages, so a buffer that is never written costs no memory. Throws
// std::bad_alloc when there is no memory (the worker records that).
class FrameBuffer {
 public:
  explicit FrameBuffer(size_t bytes);
  uint8_t* data() const { return data_.get(); }

 private:
  struct Free {
    void operator()(uint8_t* p) const noexcept;
  };
  std::unique_ptr<uint8_t, Free> data_;
};

// An n-bit channel value as 8 bits: the top 8 bits of a wider value, the
// bits repeated for a narrower one (so the largest value gives 255).
uint8_t scale_channel(uint32_t value, uint32_t bits);

}  // namespace vorel::platform::x11
