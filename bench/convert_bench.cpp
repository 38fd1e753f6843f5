// Times the float-to-int16 sample conversion over a large buffer; prints the
// best nanoseconds per sample of several runs. Driven by bench_convert.py.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "audio/sample_convert.h"

int main(int argc, char** argv) {
  const size_t samples = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : (1u << 22);
  const int runs = argc > 2 ? std::atoi(argv[2]) : 20;
  std::vector<uint8_t> in(samples * 4);
  std::vector<uint8_t> out(samples * 2);
  for (size_t i = 0; i < samples; ++i) {
    const float v = static_cast<float>((i * 2654435761u) % 20001) / 10000.0f - 1.0f;
    std::memcpy(in.data() + 4 * i, &v, 4);
  }
  double best = 1e30;
  unsigned checksum = 0;
  for (int r = 0; r < runs; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    vorel::convert_f32_to_s16(in.data(), samples, out.data());
    const auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count());
    checksum += out[static_cast<size_t>(r) % out.size()];
  }
  std::printf("%.6f %u\n", best / static_cast<double>(samples), checksum);
  return 0;
}
