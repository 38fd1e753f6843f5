// What the X11 capture surfaces compute without a server: the part of a
// monitor on the screen, and image rows turned into frame rows.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/linux/x11_monitor_surface.h"
#include "platform/linux/x11_pixels.h"

namespace vorel::platform::x11 {
namespace {

CaptureSource monitor_at(int32_t x, int32_t y, int32_t width, int32_t height) {
  CaptureSource s;
  s.origin_x = x;
  s.origin_y = y;
  s.width = width;
  s.height = height;
  return s;
}

TEST(X11MonitorPart, ClipsToTheScreenAndPlacesThePartInTheFrame) {
  // Inside: all of it, at the frame's start.
  ScreenPart inside = part_on_screen(monitor_at(960, 0, 960, 1080), 1920, 1080);
  EXPECT_EQ(inside.x, 960);
  EXPECT_EQ(inside.width, 960);
  EXPECT_EQ(inside.height, 1080);
  EXPECT_EQ(inside.frame_offset, 0u);

  // Reaching past the bottom right of a 1280x720 screen.
  ScreenPart past = part_on_screen(monitor_at(1080, 600, 400, 300), 1280, 720);
  EXPECT_EQ(past.x, 1080);
  EXPECT_EQ(past.y, 600);
  EXPECT_EQ(past.width, 200);
  EXPECT_EQ(past.height, 120);
  EXPECT_EQ(past.frame_offset, 0u);

  // Starting before the top left: the part starts 50 rows and 100 columns in.
  ScreenPart before = part_on_screen(monitor_at(-100, -50, 400, 300), 1280, 720);
  EXPECT_EQ(before.x, 0);
  EXPECT_EQ(before.y, 0);
  EXPECT_EQ(before.width, 300);
  EXPECT_EQ(before.height, 250);
  EXPECT_EQ(before.frame_offset, (50u * 400 + 100) * 4);

  // Nothing on the screen, on any side.
  for (const CaptureSource& off : {monitor_at(1280, 0, 10, 10), monitor_at(0, 720, 10, 10),
                                   monitor_at(-10, 0, 10, 10), monitor_at(0, -10, 10, 10)}) {
    EXPECT_EQ(part_on_screen(off, 1280, 720).width, 0) << off.origin_x << "," << off.origin_y;
  }
}

ImageFormat format(uint8_t bpp, uint32_t r, uint32_t g, uint32_t b, uint8_t pad = 32,
                   bool lsb_first = true) {
  return ImageFormat{bpp, pad, lsb_first, r, g, b};
}

// One row of `width` pixels through the converter for `f`.
std::vector<uint8_t> convert(const ImageFormat& f, const std::vector<uint8_t>& row,
                             size_t width) {
  auto c = PixelConverter::for_format(f);
  EXPECT_TRUE(c.has_value());
  std::vector<uint8_t> out(width * 4, 0xEE);
  if (c) c->convert_row(row.data(), out.data(), width);
  return out;
}

TEST(X11Pixels, ChannelsScaleToEightBits) {
  EXPECT_EQ(scale_channel(0, 5), 0);
  EXPECT_EQ(scale_channel(31, 5), 255);
  EXPECT_EQ(scale_channel(16, 5), 132);
  EXPECT_EQ(scale_channel(63, 6), 255);
  EXPECT_EQ(scale_channel(32, 6), 130);
  EXPECT_EQ(scale_channel(1, 1), 255);
  EXPECT_EQ(scale_channel(0x3FF, 10), 255);
  EXPECT_EQ(scale_channel(0x200, 10), 0x80);
  EXPECT_EQ(scale_channel(0xAB, 8), 0xAB);
}

TEST(X11Pixels, SixteenBitPixelsBecomeBgrx) {
  const ImageFormat rgb565 = format(16, 0xF800, 0x07E0, 0x001F);
  // Red, green, blue, a grey, little-endian 16-bit values.
  const std::vector<uint8_t> row = {0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00, 0x10, 0x84};
  EXPECT_EQ(convert(rgb565, row, 4),
            (std::vector<uint8_t>{0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0, 132, 130, 132, 0}));
  // The same pixels in most-significant-byte-first order.
  const std::vector<uint8_t> msb = {0xF8, 0x00, 0x07, 0xE0, 0x00, 0x1F, 0x84, 0x10};
  EXPECT_EQ(convert(format(16, 0xF800, 0x07E0, 0x001F, 32, false), msb, 4),
            convert(rgb565, row, 4));
}

TEST(X11Pixels, ThirtyBitPixelsBecomeBgrx) {
  const ImageFormat rgb10 = format(32, 0x3FF00000, 0x000FFC00, 0x000003FF);
  auto pixel = [](uint32_t r, uint32_t g, uint32_t b) {
    const uint32_t v = r << 20 | g << 10 | b;
    return std::vector<uint8_t>{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                                static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
  };
  std::vector<uint8_t> row = pixel(0x3FF, 0, 0x200);
  const std::vector<uint8_t> second = pixel(0x0CC, 0x198, 0x330);
  row.insert(row.end(), second.begin(), second.end());
  // The top 8 bits of each channel, the two spare bits of the pixel dropped.
  EXPECT_EQ(convert(rgb10, row, 2), (std::vector<uint8_t>{0x80, 0, 0xFF, 0, 0xCC, 0x66, 0x33, 0}));
}

TEST(X11Pixels, PackedTwentyFourBitPixels) {
  const std::vector<uint8_t> row = {0x33, 0x66, 0xCC, 0x01, 0x02, 0x03};
  EXPECT_EQ(convert(format(24, 0xFF0000, 0xFF00, 0xFF), row, 2),
            (std::vector<uint8_t>{0x33, 0x66, 0xCC, 0, 0x01, 0x02, 0x03, 0}));
}

TEST(X11Pixels, FormatsThatAreReadOrRefused) {
  auto bgrx = PixelConverter::for_format(format(32, 0xFF0000, 0xFF00, 0xFF));
  ASSERT_TRUE(bgrx.has_value());
  EXPECT_TRUE(bgrx->is_identity());
  EXPECT_FALSE(PixelConverter::for_format(format(32, 0xFF, 0xFF00, 0xFF0000))->is_identity())
      << "red and blue swapped is converted";
  EXPECT_FALSE(PixelConverter::for_format(format(32, 0xFF0000, 0xFF00, 0xFF, 32, false))
                   ->is_identity());
  EXPECT_FALSE(PixelConverter::for_format(format(8, 0xE0, 0x1C, 0x03)));
  EXPECT_FALSE(PixelConverter::for_format(format(16, 0xF801, 0x07E0, 0x001E))) << "a hole";
  EXPECT_FALSE(PixelConverter::for_format(format(16, 0xF800, 0x0FE0, 0x001F))) << "overlap";
  EXPECT_FALSE(PixelConverter::for_format(format(16, 0x1F800, 0x07E0, 0x001F))) << "too wide";
  EXPECT_FALSE(PixelConverter::for_format(format(16, 0, 0x07E0, 0x001F))) << "empty";
  EXPECT_FALSE(PixelConverter::for_format(format(16, 0xF800, 0x07E0, 0x001F, 4)));

  // Rows are padded to the scanline pad.
  auto rgb565 = PixelConverter::for_format(format(16, 0xF800, 0x07E0, 0x001F));
  EXPECT_EQ(rgb565->source_row_bytes(3), 8u);
  EXPECT_EQ(rgb565->source_row_bytes(4), 8u);
  EXPECT_EQ(PixelConverter::for_format(format(24, 0xFF0000, 0xFF00, 0xFF))->source_row_bytes(3),
            12u);
  EXPECT_EQ(bgrx->source_row_bytes(1365), 1365u * 4);
}

TEST(X11Pixels, RowsGoToTheirPlaceInAWiderFrame) {
  auto bgrx = *PixelConverter::for_format(format(32, 0xFF0000, 0xFF00, 0xFF));
  // Two rows of 2 pixels into a frame 3 pixels wide, one pixel in.
  std::vector<uint8_t> image(2 * 2 * 4);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i + 1);
  std::vector<uint8_t> frame(3 * 3 * 4, 0);
  copy_rows(bgrx, image.data(), 8, frame.data() + 4, 12, 2, 2);
  std::vector<uint8_t> expected(3 * 3 * 4, 0);
  std::memcpy(expected.data() + 4, image.data(), 8);
  std::memcpy(expected.data() + 16, image.data() + 8, 8);
  EXPECT_EQ(frame, expected);

  // Padded 16-bit rows: the padding is skipped.
  auto rgb565 = *PixelConverter::for_format(format(16, 0xF800, 0x07E0, 0x001F));
  const std::vector<uint8_t> padded = {0x1F, 0x00, 0xAA, 0xAA, 0x00, 0xF8, 0xAA, 0xAA};
  std::vector<uint8_t> out(2 * 4, 0xEE);
  copy_rows(rgb565, padded.data(), 4, out.data(), 4, 1, 2);
  EXPECT_EQ(out, (std::vector<uint8_t>{255, 0, 0, 0, 0, 0, 255, 0}));
}

}  // namespace
}  // namespace vorel::platform::x11
