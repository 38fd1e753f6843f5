// Measuring the frame rate that grabbing a source can sustain.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "platform/window_services.h"
#include "video/frame_sink.h"

namespace vorel {

inline constexpr int kMeasuredGrabs = 10;

// From ten grab durations in seconds: the mean of the last seven as a whole
// rate, never below 15; the target when that reaches 90 % of it.
int32_t achievable_fps_from_samples(const std::array<double, kMeasuredGrabs>& samples,
                                    int32_t target_fps);

// Grabs ten frames of the window (when a handle is given) or of monitor
// `monitor_index` (0 when absent) and times them. A monitor index outside
// the list gives the target at once.
int32_t measure_achievable_fps(platform::WindowServices& services, Clock& clock,
                               std::optional<int32_t> monitor_index,
                               std::optional<int64_t> window_handle, int32_t target_fps);

}  // namespace vorel
