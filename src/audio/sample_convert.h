// 32-bit float samples to 16-bit integers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vorel {

// Reads `count` little-endian floats from `src` and writes
// trunc(clamp(x * 32767.0f, -32768.0f, 32767.0f)) for each, NaN as 0, to
// `dst` as little-endian 16-bit integers. `src` needs no alignment.
void convert_f32_to_s16(const uint8_t* src, size_t count, uint8_t* dst);

}  // namespace vorel
