#include "video/source.h"

#include <limits>

#include "discovery/monitors.h"
#include "util/text.h"

namespace vorel {
namespace {

int32_t wrapping_sub(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

std::string too_large(int32_t width, int32_t height) {
  return "Frame size " + std::to_string(width) + "x" + std::to_string(height) +
         " is too large: its byte count does not fit in a signed 32-bit integer.";
}

}  // namespace

bool frame_size_fits(int32_t width, int32_t height) {
  if (width < 0 || height < 0) return false;
  const uint64_t bytes = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 4;
  return bytes <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
}

Result<platform::CaptureSource, std::string> select_capture_source(
    platform::WindowServices& services, std::optional<int32_t> monitor_index,
    std::optional<int64_t> window_handle) {
  platform::CaptureSource source;
  if (window_handle) {
    if (!services.is_window(*window_handle)) {
      return Err("HWND " + format_hex_lower(static_cast<uint64_t>(*window_handle)) +
                 " is not a valid window.");
    }
    platform::Rect rect{};
    (void)services.get_client_rect(*window_handle, &rect);  // a failure leaves zeros
    const int32_t width = wrapping_sub(rect.right, rect.left);
    const int32_t height = wrapping_sub(rect.bottom, rect.top);
    if (width <= 0 || height <= 0) {
      return Err("Window has no client area (" + std::to_string(width) + "x" +
                 std::to_string(height) + "). It may be minimised.");
    }
    source.is_window = true;
    source.window = *window_handle;
    source.width = width;
    source.height = height;
  } else {
    const int32_t index = monitor_index.value_or(0);
    const std::vector<MonitorRecord> monitors = enumerate_monitors(services);
    // Widened with its sign and compared unsigned: a negative index never fits.
    if (static_cast<uint64_t>(static_cast<int64_t>(index)) >= monitors.size()) {
      return Err("Monitor index " + std::to_string(index) + " not found (have " +
                 std::to_string(monitors.size()) + ").");
    }
    const MonitorRecord& m = monitors[static_cast<size_t>(index)];
    source.origin_x = m.x;
    source.origin_y = m.y;
    source.width = m.width;
    source.height = m.height;
  }
  if (!frame_size_fits(source.width, source.height)) {
    return Err(too_large(source.width, source.height));
  }
  return source;
}

}  // namespace vorel
