// The grab in two halves without Python: milliseconds per frame of the first
// monitor when the process's own work per frame runs after the grab, and
// when it runs while the server fills the next frame. The work is a copy of
// the frame (a core and memory bandwidth), a busy wait as long (a core only)
// or a sleep as long (neither). Prints one line of JSON.
//
// Beside it, what bounds any pipeline that must copy each frame into memory
// of its own: the copy with ordinary stores (memcpy) and with stores that
// bypass the cache (what the module uses for large frames), into a block
// reused every frame, into a new block per frame with 4 KB pages and with
// huge pages advised, two such copies at once (the machine's memory
// bandwidth when both cores copy), the grab while another thread copies
// frames without pause (the server's grab when it must share memory
// bandwidth), and the grab overlapped with each copy: the best rate a
// pipeline of grab and copy reaches here, with no Python in it.
//
//   vorel_grab_overlap_bench [frames per measurement] [rounds]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "platform/window_services.h"
#include "platform/memory.h"
#include "video/frame_memory.h"

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// The fastest round: other jobs on the machine only ever slow a round down.
double best(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

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
  std::vector<uint8_t> out2(out.size()), in2(out.size(), 1);
  std::vector<double> grab, copy, serial_copy, overlapped_copy, serial_spin, overlapped_spin,
      serial_sleep, overlapped_sleep, copy_streaming, overlapped_copy_streaming, fresh_copy,
      fresh_copy_huge, two_copies, two_copies_streaming, grab_beside_copy;
  const uint8_t* frame = surface->grab();
  // A new block per frame, as a stream that keeps its frames makes the
  // module allocate; operator new reaches malloc, as CPython does.
  auto fresh = [&](bool huge) {
    auto block = std::make_unique_for_overwrite<uint8_t[]>(out.size());
    if (huge) vorel::platform::advise_huge_pages(block.get(), out.size());
    std::memcpy(block.get(), frame, out.size());
    return block[out.size() / 2];
  };
  volatile uint8_t keep = 0;
  // Two copies at once, one on another thread, each of its own frame.
  auto two = [&](auto&& copy_one) {
    std::thread other([&] { copy_one(out2.data(), in2.data()); });
    copy_one(out.data(), frame);
    other.join();
  };
  auto plain = [&](uint8_t* to, const uint8_t* from) { std::memcpy(to, from, out.size()); };
  auto streaming = [&](uint8_t* to, const uint8_t* from) {
    vorel::copy_streaming(to, from, out.size());
  };
  for (int r = 0; r < rounds; ++r) {
    grab.push_back(per_frame([&] { frame = surface->grab(); }));
    copy.push_back(per_frame([&] { std::memcpy(out.data(), frame, out.size()); }));
    copy_streaming.push_back(
        per_frame([&] { vorel::copy_streaming(out.data(), frame, out.size()); }));
    fresh_copy.push_back(per_frame([&] { keep = fresh(false); }));
    fresh_copy_huge.push_back(per_frame([&] { keep = fresh(true); }));
    two_copies.push_back(per_frame([&] { two(plain); }));
    two_copies_streaming.push_back(per_frame([&] { two(streaming); }));
    {
      std::atomic<bool> done{false};
      std::thread copier([&] {
        while (!done.load()) vorel::copy_streaming(out2.data(), in2.data(), out.size());
      });
      grab_beside_copy.push_back(per_frame([&] { frame = surface->grab(); }));
      done.store(true);
      copier.join();
    }
    serial_copy.push_back(per_frame([&] {
      frame = surface->grab();
      std::memcpy(out.data(), frame, out.size());
    }));
    overlapped_copy.push_back(per_frame([&] {
      surface->begin_grab();
      std::memcpy(out.data(), frame, out.size());
      frame = surface->finish_grab();
    }));
    overlapped_copy_streaming.push_back(per_frame([&] {
      surface->begin_grab();
      vorel::copy_streaming(out.data(), frame, out.size());
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
      "\"serial_sleep\": %f, \"overlapped_sleep\": %f, \"copy_streaming\": %f, "
      "\"overlapped_copy_streaming\": %f, \"fresh_copy\": %f, \"fresh_copy_huge\": %f, "
      "\"two_copies\": %f, \"two_copies_streaming\": %f, \"grab_beside_copy\": %f, "
      "\"best_grab\": %f, \"best_overlapped_copy\": %f, "
      "\"best_overlapped_copy_streaming\": %f}\n",
      source.width, source.height, median(grab), median(copy), median(serial_copy),
      median(overlapped_copy), median(serial_spin), median(overlapped_spin), median(serial_sleep),
      median(overlapped_sleep), median(copy_streaming), median(overlapped_copy_streaming),
      median(fresh_copy), median(fresh_copy_huge), median(two_copies),
      median(two_copies_streaming), median(grab_beside_copy), best(grab), best(overlapped_copy),
      best(overlapped_copy_streaming));
  return 0;
}
