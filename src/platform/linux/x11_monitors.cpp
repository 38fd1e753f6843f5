#include "platform/linux/x11_monitors.h"

#include <xcb/randr.h>

#include <algorithm>
#include <iterator>
#include <string_view>
#include <utility>

#include "util/text.h"

namespace vorel::platform::x11 {
namespace {

MonitorInfoEx make_monitor(std::u16string_view name, int32_t x, int32_t y, int32_t width,
                           int32_t height, bool primary) {
  MonitorInfoEx m;
  m.monitor = Rect{x, y, x + width, y + height};
  m.work = m.monitor;
  m.flags = primary ? kMonitorPrimary : 0;
  // szDevice keeps 31 units and a NUL; a surrogate pair is never split.
  size_t n = std::min<size_t>(name.size(), std::size(m.device) - 1);
  if (n < name.size() && n > 0 && name[n - 1] >= 0xD800 && name[n - 1] <= 0xDBFF) --n;
  std::copy_n(name.data(), n, m.device);
  return m;
}

}  // namespace

std::vector<MonitorInfoEx> monitor_infos(const std::vector<RandrMonitor>& monitors,
                                         uint16_t screen_width, uint16_t screen_height) {
  std::vector<MonitorInfoEx> infos;
  infos.reserve(std::max<size_t>(monitors.size(), 1));
  for (const RandrMonitor& m : monitors) {
    infos.push_back(make_monitor(m.name, m.x, m.y, m.width, m.height, m.primary));
  }
  if (infos.empty()) infos.push_back(make_monitor(u"SCREEN", 0, 0, screen_width, screen_height, true));
  return infos;
}

std::optional<std::vector<MonitorInfoEx>> fetch_monitors(const X11Connection& x) {
  xcb_connection_t* c = x.get();
  std::vector<RandrMonitor> monitors;
  if (x.has_extension(&xcb_randr_id)) {
    // The version goes first: the server answers GetMonitors (RandR 1.5)
    // according to the version the client announced.
    xcb_discard_reply(c, xcb_randr_query_version(c, 1, 6).sequence);
    auto monitors_cookie = xcb_randr_get_monitors(c, x.root(), 1);
    auto reply = take_reply(c, xcb_randr_get_monitors_reply, monitors_cookie);
    if (reply) {
      std::vector<const xcb_randr_monitor_info_t*> infos;
      std::vector<xcb_get_atom_name_cookie_t> names;
      for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
           xcb_randr_monitor_info_next(&it)) {
        infos.push_back(it.data);
        names.push_back(xcb_get_atom_name(c, it.data->name));
      }
      for (size_t i = 0; i < infos.size(); ++i) {
        auto name = take_reply(c, xcb_get_atom_name_reply, names[i]);
        RandrMonitor m;
        if (name) {
          m.name = utf8_to_utf16_lossy(std::string_view(
              xcb_get_atom_name_name(name.get()),
              static_cast<size_t>(xcb_get_atom_name_name_length(name.get()))));
        }
        const xcb_randr_monitor_info_t& info = *infos[i];
        m.x = info.x;
        m.y = info.y;
        m.width = info.width;
        m.height = info.height;
        m.primary = info.primary != 0;
        monitors.push_back(std::move(m));
      }
    }
  }
  if (!x.alive()) return std::nullopt;
  const xcb_screen_t& screen = x.screen();
  return monitor_infos(monitors, screen.width_in_pixels, screen.height_in_pixels);
}

}  // namespace vorel::platform::x11
