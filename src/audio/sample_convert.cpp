#include "audio/sample_convert.h"

#include <bit>
#include <cstring>

namespace vorel {

static_assert(std::endian::native == std::endian::little,
              "the sample formats are little-endian, as is every target");

void convert_f32_to_s16(const uint8_t* src, size_t count, uint8_t* dst) {
  // Written as plain selects over a flat loop so that compilers vectorise it.
  for (size_t i = 0; i < count; ++i) {
    float x;
    std::memcpy(&x, src + i * 4, 4);
    float p = x * 32767.0f;
    p = p > 32767.0f ? 32767.0f : p;
    p = p < -32768.0f ? -32768.0f : p;
    p = p != p ? 0.0f : p;  // NaN
    const auto s = static_cast<int16_t>(p);
    std::memcpy(dst + i * 2, &s, 2);
  }
}

}  // namespace vorel
