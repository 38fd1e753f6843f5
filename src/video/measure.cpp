#include "video/measure.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>

#include "discovery/monitors.h"
#include "video/source.h"

namespace vorel {
namespace {

// Truncation toward zero, saturating at the 32-bit limits; NaN gives 0.
int32_t saturating_int32(double value) {
  if (std::isnan(value)) return 0;
  if (value <= static_cast<double>(std::numeric_limits<int32_t>::min())) {
    return std::numeric_limits<int32_t>::min();
  }
  if (value >= static_cast<double>(std::numeric_limits<int32_t>::max())) {
    return std::numeric_limits<int32_t>::max();
  }
  return static_cast<int32_t>(value);
}

double seconds_of(std::chrono::steady_clock::duration elapsed) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
  return static_cast<double>(ns / 1'000'000'000) +
         static_cast<double>(ns % 1'000'000'000) / 1'000'000'000.0;
}

}  // namespace

int32_t achievable_fps_from_samples(const std::array<double, kMeasuredGrabs>& samples,
                                    int32_t target_fps) {
  // The first three grabs are a warm-up.
  double sum = 0.0;
  for (int i = 3; i < kMeasuredGrabs; ++i) sum += samples[static_cast<size_t>(i)];
  const double mean = sum / 7.0;
  int32_t rate = saturating_int32(1.0 / mean);
  if (rate < 15) rate = 15;
  if (static_cast<double>(rate) < static_cast<double>(target_fps) * 0.9) return rate;
  return target_fps;
}

int32_t measure_achievable_fps(platform::WindowServices& services, Clock& clock,
                               std::optional<int32_t> monitor_index,
                               std::optional<int64_t> window_handle, int32_t target_fps) {
  platform::CaptureSource source;
  if (window_handle) {
    // No validity or size test: a window that is not one measures as 0 x 0.
    platform::Rect rect{};
    (void)services.get_client_rect(*window_handle, &rect);
    source.is_window = true;
    source.window = *window_handle;
    source.width = static_cast<int32_t>(static_cast<uint32_t>(rect.right) -
                                        static_cast<uint32_t>(rect.left));
    source.height = static_cast<int32_t>(static_cast<uint32_t>(rect.bottom) -
                                         static_cast<uint32_t>(rect.top));
  } else {
    const int32_t index = monitor_index.value_or(0);
    const std::vector<MonitorRecord> monitors = enumerate_monitors(services);
    if (static_cast<uint64_t>(static_cast<int64_t>(index)) >= monitors.size()) return target_fps;
    const MonitorRecord& m = monitors[static_cast<size_t>(index)];
    source.origin_x = m.x;
    source.origin_y = m.y;
    source.width = m.width;
    source.height = m.height;
  }
  // A frame too large to allocate cannot be measured; the caller keeps its
  // target (the capture itself refuses such a source).
  if (!frame_size_fits(std::max(source.width, 0), std::max(source.height, 0))) return target_fps;

  std::array<double, kMeasuredGrabs> samples{};
  {
    std::unique_ptr<platform::CaptureSurface> surface = services.create_capture_surface(source);
    for (double& sample : samples) {
      const auto start = clock.now();
      (void)surface->grab();
      sample = seconds_of(clock.now() - start);
    }
  }  // surfaces released before the result is computed
  return achievable_fps_from_samples(samples, target_fps);
}

}  // namespace vorel
