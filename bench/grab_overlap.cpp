// The grab in two halves without Python: milliseconds per frame of the first
// monitor when the process's own work per frame runs after the grab, and
// when it runs while the server fills the next frame. The work is a copy of
// the frame (a core and memory bandwidth), a busy wait as long (a core only)
// or a sleep as long (neither). Prints one line of JSON.
//
//   vorel_grab_overlap_bench [frames per measurement] [rounds]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/window_services.h"

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::atoi(argv[1]) : 200;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  auto services = vorel::platform::open_window_services();
  vorel::platform::MonitorInfoEx info{};
  bool found = false;
  services->enum_display_monitors([&](vorel::platform::MonitorHandle m) {
    found = services->get_monitor_info(m, &info);
    return false;
  });
  if (!found) {
    std::fprintf(stderr, "no monitor\n");
    return 1;
  }
  vorel::platform::CaptureSource source;
  source.origin_x = info.monitor.left;
  source.origin_y = info.monitor.top;
  source.width = info.monitor.right - info.monitor.left;
  source.height = info.monitor.bottom - info.monitor.top;
  auto surface = services->create_capture_surface(source);
  std::vector<uint8_t> out(static_cast<size_t>(source.width) * source.height * 4);

  auto per_frame = [&](auto&& body) {
    const auto start = Clock::now();
    for (int i = 0; i < frames; ++i) body();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / frames;
  };
  std::vector<double> grab, copy, serial_copy, overlapped_copy, serial_spin, overlapped_spin,
      serial_sleep, overlapped_sleep;
  const uint8_t* frame = surface->grab();
  for (int r = 0; r < rounds; ++r) {
    grab.push_back(per_frame([&] { frame = surface->grab(); }));
    copy.push_back(per_frame([&] { std::memcpy(out.data(), frame, out.size()); }));
    serial_copy.push_back(per_frame([&] {
      frame = surface->grab();
      std::memcpy(out.data(), frame, out.size());
    }));
    overlapped_copy.push_back(per_frame([&] {
      surface->begin_grab();
      std::memcpy(out.data(), frame, out.size());
      frame = surface->finish_grab();
    }));
    const auto work = std::chrono::duration<double, std::milli>(median(copy));
    auto spin = [&] {
      const auto until = Clock::now() + work;
      while (Clock::now() < until) {
      }
    };
    serial_spin.push_back(per_frame([&] {
      frame = surface->grab();
      spin();
    }));
    overlapped_spin.push_back(per_frame([&] {
      surface->begin_grab();
      spin();
      frame = surface->finish_grab();
    }));
    serial_sleep.push_back(per_frame([&] {
      frame = surface->grab();
      std::this_thread::sleep_for(work);
    }));
    overlapped_sleep.push_back(per_frame([&] {
      surface->begin_grab();
      std::this_thread::sleep_for(work);
      frame = surface->finish_grab();
    }));
  }
  std::printf(
      "{\"width\": %d, \"height\": %d, \"grab\": %f, \"copy\": %f, \"serial_copy\": %f, "
      "\"overlapped_copy\": %f, \"serial_spin\": %f, \"overlapped_spin\": %f, "
      "\"serial_sleep\": %f, \"overlapped_sleep\": %f}\n",
      source.width, source.height, median(grab), median(copy), median(serial_copy),
      median(overlapped_copy), median(serial_spin), median(overlapped_spin), median(serial_sleep),
      median(overlapped_sleep));
  return 0;
}
