// The monitors of an X display: RandR's monitors in the order the server
// lists them (the primary first, then as they were made), or the whole
// screen as one when RandR lists none.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/x11_connection.h"
#include "platform/window_services.h"

namespace vorel::platform::x11 {

// One RandR monitor: its name (the name atom's text), rectangle and
// whether it is the primary one.
struct RandrMonitor {
  std::u16string name;
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 0;
  int32_t height = 0;
  bool primary = false;
};

// The monitors as GetMonitorInfoW describes them, in the given order; the
// screen of the given size, named "SCREEN" and primary, when there are none.
// A name keeps what fits szDevice (31 units), never half a surrogate pair.
std::vector<MonitorInfoEx> monitor_infos(const std::vector<RandrMonitor>& monitors,
                                         uint16_t screen_width, uint16_t screen_height);

// The display's monitors; nullopt when the server is gone.
std::optional<std::vector<MonitorInfoEx>> fetch_monitors(const X11Connection& x);

}  // namespace vorel::platform::x11
