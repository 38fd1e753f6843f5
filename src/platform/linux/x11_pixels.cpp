#include "platform/linux/x11_pixels.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>

namespace vorel::platform::x11 {
namespace {

// A mask as one run of bits: its shift and width; nullopt when it is empty
// or has holes.
struct Run {
  uint32_t shift;
  uint32_t bits;
};

std::optional<Run> run_of(uint32_t mask) {
  if (mask == 0) return std::nullopt;
  const auto shift = static_cast<uint32_t>(std::countr_zero(mask));
  const uint32_t bits = static_cast<uint32_t>(std::popcount(mask));
  if ((mask >> shift) != (bits == 32 ? 0xFFFFFFFFu : (1u << bits) - 1)) return std::nullopt;
  return Run{shift, bits};
}

}  // namespace

FrameBuffer::FrameBuffer(size_t bytes)
    : data_(static_cast<uint8_t*>(std::calloc(std::max<size_t>(bytes, 1), 1))) {
  if (!data_) throw std::bad_alloc();
}

void FrameBuffer::Free::operator()(uint8_t* p) const noexcept { std::free(p); }

uint8_t scale_channel(uint32_t value, uint32_t bits) {
  if (bits >= 8) return static_cast<uint8_t>(value >> (bits - 8));
  uint32_t v = value << (8 - bits);
  for (uint32_t filled = bits; filled < 8; filled *= 2) v |= v >> filled;
  return static_cast<uint8_t>(v);
}

std::optional<PixelConverter> PixelConverter::for_format(const ImageFormat& f) {
  if (f.bits_per_pixel != 16 && f.bits_per_pixel != 24 && f.bits_per_pixel != 32) {
    return std::nullopt;
  }
  if (f.scanline_pad < 8 || f.scanline_pad % 8 != 0) return std::nullopt;
  const auto r = run_of(f.red_mask);
  const auto g = run_of(f.green_mask);
  const auto b = run_of(f.blue_mask);
  if (!r || !g || !b) return std::nullopt;
  if ((f.red_mask & f.green_mask) != 0 || (f.red_mask & f.blue_mask) != 0 ||
      (f.green_mask & f.blue_mask) != 0) {
    return std::nullopt;
  }
  const uint64_t all = uint64_t{f.red_mask} | f.green_mask | f.blue_mask;
  if (all >> f.bits_per_pixel != 0) return std::nullopt;  // beyond the pixel

  PixelConverter c;
  c.bytes_per_pixel_ = f.bits_per_pixel / 8u;
  c.pad_bytes_ = f.scanline_pad / 8u;
  c.lsb_first_ = f.lsb_first;
  c.red_ = {r->shift, r->bits};
  c.green_ = {g->shift, g->bits};
  c.blue_ = {b->shift, b->bits};
  c.identity_ = f.bits_per_pixel == 32 && f.lsb_first && f.red_mask == 0xFF0000 &&
                f.green_mask == 0xFF00 && f.blue_mask == 0xFF;
  if (f.bits_per_pixel == 16) {
    auto table = std::make_shared<std::vector<uint32_t>>(65536);
    for (uint32_t v = 0; v < 65536; ++v) (*table)[v] = c.bgrx(v);
    c.table_ = std::move(table);
  }
  return c;
}

size_t PixelConverter::source_row_bytes(size_t width) const {
  const size_t bytes = width * bytes_per_pixel_;
  return (bytes + pad_bytes_ - 1) / pad_bytes_ * pad_bytes_;
}

uint32_t PixelConverter::pixel_at(const uint8_t* from, size_t i) const {
  const uint8_t* p = from + i * bytes_per_pixel_;
  uint32_t v = 0;
  if (lsb_first_) {
    for (size_t k = bytes_per_pixel_; k-- > 0;) v = (v << 8) | p[k];
  } else {
    for (size_t k = 0; k < bytes_per_pixel_; ++k) v = (v << 8) | p[k];
  }
  return v;
}

uint32_t PixelConverter::bgrx(uint32_t pixel) const {
  auto channel = [pixel](Channel c) -> uint32_t {
    const uint32_t mask = c.bits == 32 ? 0xFFFFFFFFu : (1u << c.bits) - 1;
    return scale_channel((pixel >> c.shift) & mask, c.bits);
  };
  // Little-endian value of the bytes blue, green, red, 0.
  return channel(blue_) | channel(green_) << 8 | channel(red_) << 16;
}

void PixelConverter::convert_row(const uint8_t* from, uint8_t* to, size_t width) const {
  if (identity_) {
    std::memcpy(to, from, width * kBytesPerPixel);
    return;
  }
  for (size_t i = 0; i < width; ++i) {
    const uint32_t pixel = pixel_at(from, i);
    const uint32_t out = table_ ? (*table_)[pixel] : bgrx(pixel);
    const uint8_t bytes[4] = {static_cast<uint8_t>(out), static_cast<uint8_t>(out >> 8),
                              static_cast<uint8_t>(out >> 16), 0};
    std::memcpy(to + i * kBytesPerPixel, bytes, kBytesPerPixel);
  }
}

void copy_rows(const PixelConverter& converter, const uint8_t* from, size_t from_stride,
               uint8_t* to, size_t to_stride, size_t width, size_t count) {
  const size_t row = width * kBytesPerPixel;
  if (converter.is_identity() && from_stride == row && to_stride == row) {
    std::memcpy(to, from, row * count);
    return;
  }
  for (size_t y = 0; y < count; ++y) {
    converter.convert_row(from + y * from_stride, to + y * to_stride, width);
  }
}

}  // namespace vorel::platform::x11
