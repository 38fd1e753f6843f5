// Monitor enumeration: the one ordered list whose positions are the monitor
// indexes used by MonitorInfo, VideoCapture and the rate measurement.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/window_services.h"

namespace vorel {

struct MonitorRecord {
  int32_t index = 0;
  std::string name;
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
  bool is_primary = false;
};

// Every monitor in the order the platform reports them; a monitor whose
// information cannot be read still takes its index, with zeroed fields.
std::vector<MonitorRecord> enumerate_monitors(platform::WindowServices& services);

// "MonitorInfo(index=0, name='\\.\DISPLAY1', 1920x1080 @ (0,0), primary)"
std::string monitor_repr(const MonitorRecord& record);

}  // namespace vorel
