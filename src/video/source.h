// Choosing what a video capture grabs: a window's client area or a monitor.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/window_services.h"
#include "util/result.h"

namespace vorel {

// The window when a handle is given (the monitor index is then never looked
// at), else monitor `monitor_index` (0 when absent). Fails with the text the
// worker records.
Result<platform::CaptureSource, std::string> select_capture_source(
    platform::WindowServices& services, std::optional<int32_t> monitor_index,
    std::optional<int64_t> window_handle);

// Whether a frame of this size has a byte count that fits a signed 32-bit
// integer; frames beyond that are refused before anything is allocated.
bool frame_size_fits(int32_t width, int32_t height);

}  // namespace vorel
