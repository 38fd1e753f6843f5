#include "discovery/monitors.h"

#include <iterator>

#include "util/text.h"

namespace vorel {
namespace {

int32_t wrapping_sub(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

}  // namespace

std::vector<MonitorRecord> enumerate_monitors(platform::WindowServices& services) {
  std::vector<MonitorRecord> records;
  // The call's own result is not examined: what was gathered is the answer.
  (void)services.enum_display_monitors([&](platform::MonitorHandle monitor) {
    platform::MonitorInfoEx info{};
    (void)services.get_monitor_info(monitor, &info);
    MonitorRecord r;
    r.index = static_cast<int32_t>(records.size());
    r.name = utf16_to_utf8_lossy(
        trim_trailing_nuls(std::u16string_view(info.device, std::size(info.device))));
    r.x = info.monitor.left;
    r.y = info.monitor.top;
    r.width = wrapping_sub(info.monitor.right, info.monitor.left);
    r.height = wrapping_sub(info.monitor.bottom, info.monitor.top);
    r.is_primary = (info.flags & platform::kMonitorPrimary) != 0;
    records.push_back(std::move(r));
    return true;
  });
  return records;
}

std::string monitor_repr(const MonitorRecord& r) {
  std::string s = "MonitorInfo(index=" + std::to_string(r.index) + ", name='" + r.name + "', " +
                  std::to_string(r.width) + "x" + std::to_string(r.height) + " @ (" +
                  std::to_string(r.x) + "," + std::to_string(r.y) + ")";
  if (r.is_primary) s += ", primary";
  s += ")";
  return s;
}

}  // namespace vorel
