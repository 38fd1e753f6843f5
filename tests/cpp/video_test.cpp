#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "fakes/fake_frame_sink.h"
#include "fakes/fake_window_services.h"
#include "platform/memory.h"
#include "video/frame_memory.h"
#include "video/measure.h"
#include "video/source.h"
#include "video/video_worker.h"

namespace vorel {
namespace {

using std::chrono::milliseconds;
using testing::FakeClock;
using testing::FakeFrameSink;
using testing::FakeWindowServices;
using Delivery = FrameSink::Delivery;

FakeWindowServices two_monitors() {
  FakeWindowServices fake;
  fake.monitors.push_back(
      testing::monitor_entry(testing::monitor(0, 0, 1366, 768, true, u"\\\\.\\DISPLAY1")));
  fake.monitors.push_back(
      testing::monitor_entry(testing::monitor(-1365, 0, 0, 1024, false, u"\\\\.\\DISPLAY2")));
  return fake;
}

std::string select_error(FakeWindowServices& fake, std::optional<int32_t> monitor,
                         std::optional<int64_t> window) {
  auto r = select_capture_source(fake, monitor, window);
  EXPECT_FALSE(r.ok());
  return r.ok() ? std::string() : r.error();
}

TEST(SelectSource, WindowFailures) {
  FakeWindowServices fake = two_monitors();
  EXPECT_EQ(select_error(fake, std::nullopt, 132628), "HWND 0x20614 is not a valid window.");
  EXPECT_EQ(select_error(fake, std::nullopt, 0), "HWND 0x0 is not a valid window.");
  EXPECT_EQ(select_error(fake, std::nullopt, -2),
            "HWND 0xfffffffffffffffe is not a valid window.");

  fake.windows.push_back(testing::window(7, u"min", u"C", 1u, true));
  fake.client_rects[7] = {0, 0, 0, 0};
  EXPECT_EQ(select_error(fake, 0, 7), "Window has no client area (0x0). It may be minimised.");
  fake.client_rects[7] = {0, 0, 160, -24};
  EXPECT_EQ(select_error(fake, 0, 7), "Window has no client area (160x-24). It may be minimised.");
  fake.client_rects.erase(7);  // a failing GetClientRect leaves zeros
  EXPECT_EQ(select_error(fake, 0, 7), "Window has no client area (0x0). It may be minimised.");
}

TEST(SelectSource, WindowTakesPrecedenceOverAnyMonitorIndex) {
  FakeWindowServices fake;  // no monitors at all
  fake.windows.push_back(testing::window(9, u"w", u"C", 1u, false));
  fake.client_rects[9] = {0, 0, 1, 3};
  auto r = select_capture_source(fake, 99, 9);
  ASSERT_TRUE(r.ok()) << r.error();
  EXPECT_TRUE(r->is_window);
  EXPECT_EQ(r->window, 9);
  EXPECT_EQ(r->origin_x, 0);
  EXPECT_EQ(r->width, 1);
  EXPECT_EQ(r->height, 3);
}

TEST(SelectSource, MonitorsByIndex) {
  FakeWindowServices fake = two_monitors();
  auto first = select_capture_source(fake, std::nullopt, std::nullopt);
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(first->width, 1366);
  EXPECT_EQ(first->height, 768);
  auto second = select_capture_source(fake, 1, std::nullopt);
  ASSERT_TRUE(second.ok());
  EXPECT_FALSE(second->is_window);
  EXPECT_EQ(second->origin_x, -1365);
  EXPECT_EQ(second->width, 1365) << "odd sizes stay odd";
  EXPECT_EQ(select_error(fake, 2, std::nullopt), "Monitor index 2 not found (have 2).");
  EXPECT_EQ(select_error(fake, -1, std::nullopt), "Monitor index -1 not found (have 2).");
  FakeWindowServices none;
  EXPECT_EQ(select_error(none, std::nullopt, std::nullopt), "Monitor index 0 not found (have 0).");
}

TEST(SelectSource, FramesBeyond32BitsAreRefused) {
  FakeWindowServices fake;
  fake.monitors.push_back(
      testing::monitor_entry(testing::monitor(0, 0, 40000, 20000, true, u"HUGE")));
  EXPECT_EQ(select_error(fake, 0, std::nullopt),
            "Frame size 40000x20000 is too large: its byte count does not fit in a signed 32-bit "
            "integer.");
  EXPECT_TRUE(frame_size_fits(16384, 32767));
  EXPECT_FALSE(frame_size_fits(16384, 32768));
}

struct WorkerRun {
  FakeWindowServices services = two_monitors();
  FakeClock clock;
  FakeFrameSink sink{clock};
  VideoCaptureState state;
  VideoWorkerInputs inputs;

  void run() { run_video_worker(state, services, sink, clock, inputs); }
};

TEST(VideoWorker, PublishesSizeThenHandsOverFramesOfThatSize) {
  WorkerRun w;
  w.inputs.fps = 10;
  w.sink.outcome = [](int i) {
    return FrameSink::WriteOutcome{i == 2 ? Delivery::kClosed : Delivery::kWritten, {}};
  };
  w.run();
  EXPECT_TRUE(w.state.ready.reached());
  EXPECT_EQ(w.state.width.get(), 1366);
  EXPECT_EQ(w.state.height.get(), 768);
  EXPECT_EQ(w.sink.ready_calls, 1);
  ASSERT_EQ(w.sink.sizes.size(), 3u) << "a closed stream ends the run after that frame";
  EXPECT_EQ(w.sink.sizes[0], 4196352u);
  EXPECT_EQ(w.sink.first_bytes, (std::vector<uint8_t>{1, 2, 3})) << "one grab per frame";
  EXPECT_FALSE(w.state.error.get().has_value());
  EXPECT_EQ(w.services.surfaces_made.size(), 1u);
  EXPECT_EQ(w.services.surfaces_alive, 0) << "the surface is released at the end";
}

TEST(VideoWorker, PacesOnAbsoluteDeadlinesAndCatchesUpWithoutDropping) {
  WorkerRun w;
  w.inputs.fps = 10;
  // The second hand-over blocks for 350 ms once.
  w.sink.write_takes = [](int i) { return i == 1 ? milliseconds(350) : milliseconds(0); };
  w.sink.outcome = [](int i) {
    return FrameSink::WriteOutcome{i == 7 ? Delivery::kClosed : Delivery::kWritten, {}};
  };
  w.run();
  ASSERT_EQ(w.sink.write_starts.size(), 8u);
  const auto t0 = w.sink.write_starts[0];
  std::vector<long long> offsets;
  for (auto t : w.sink.write_starts) {
    offsets.push_back(std::chrono::duration_cast<milliseconds>(t - t0).count());
  }
  // Planned at 0, 100, 200, ...; the three passes after the stall run back
  // to back at 450, and the next one starts at its planned 500.
  EXPECT_EQ(offsets, (std::vector<long long>{0, 100, 450, 450, 450, 500, 600, 700}));
}

TEST(VideoWorker, StopDuringTheSleepEndsWithoutAnotherFrame) {
  WorkerRun w;
  w.inputs.fps = 30;
  w.clock.on_sleep = [&] {
    if (w.clock.sleeps.size() == 3) w.state.stop_requested.store(true);
  };
  w.run();
  EXPECT_EQ(w.sink.write_starts.size(), 3u);
  EXPECT_EQ(w.clock.sleeps[0], std::chrono::nanoseconds(33333333));
  EXPECT_FALSE(w.state.error.get().has_value());
}

TEST(VideoWorker, StopBeforeTheLoopWritesNothing) {
  WorkerRun w;
  w.state.stop_requested.store(true);
  w.run();
  EXPECT_TRUE(w.state.ready.reached());
  EXPECT_TRUE(w.sink.write_starts.empty());
  EXPECT_EQ(w.services.surfaces_made.size(), 1u);
}

TEST(VideoWorker, FailedHandOverRecordsItsTextAndQuietEndsKeepTheOldOne) {
  WorkerRun failed;
  failed.sink.outcome = [](int) {
    return FrameSink::WriteOutcome{Delivery::kFailed, "ValueError: I/O operation on closed file."};
  };
  failed.run();
  EXPECT_EQ(failed.sink.write_starts.size(), 1u);
  EXPECT_EQ(failed.state.error.get(), std::optional<std::string>("ValueError: I/O operation on closed file."));
  EXPECT_EQ(failed.services.surfaces_alive, 0);

  WorkerRun closed;
  closed.state.error.set(std::string("from an earlier run"));
  closed.sink.outcome = [](int) { return FrameSink::WriteOutcome{Delivery::kClosed, {}}; };
  closed.run();
  EXPECT_EQ(closed.state.error.get(), std::optional<std::string>("from an earlier run"));
}

TEST(VideoWorker, ReadinessHandshake) {
  WorkerRun not_ready;
  not_ready.sink.ready = {FrameSink::Readiness::kNotReady, {}};
  not_ready.run();
  EXPECT_TRUE(not_ready.state.ready.reached()) << "the milestone comes before the handshake";
  EXPECT_EQ(not_ready.state.error.get(), std::optional<std::string>(kPipeTimedOut));
  EXPECT_TRUE(not_ready.services.surfaces_made.empty());
  EXPECT_TRUE(not_ready.sink.write_starts.empty());

  WorkerRun raised;
  raised.sink.ready = {FrameSink::Readiness::kFailed, "RuntimeError: not now"};
  raised.run();
  EXPECT_EQ(raised.state.error.get(), std::optional<std::string>("RuntimeError: not now"));
  EXPECT_TRUE(raised.services.surfaces_made.empty());
}

TEST(VideoWorker, SourceFailureEndsBeforeTheMilestone) {
  WorkerRun w;
  w.inputs.monitor_index = 5;
  w.run();
  EXPECT_FALSE(w.state.ready.reached());
  EXPECT_EQ(w.sink.ready_calls, 0);
  EXPECT_EQ(w.state.error.get(), std::optional<std::string>("Monitor index 5 not found (have 2)."));
  EXPECT_EQ(w.state.width.get(), 0);
}

TEST(VideoWorker, RatesOfZeroOrLessEndAfterReleasingTheSurface) {
  for (int32_t fps : {0, -5}) {
    WorkerRun w;
    w.inputs.fps = fps;
    w.run();
    EXPECT_TRUE(w.sink.write_starts.empty()) << fps;
    EXPECT_EQ(w.services.surfaces_made.size(), 1u);
    EXPECT_EQ(w.services.surfaces_alive, 0);
    EXPECT_EQ(w.state.error.get(),
              std::optional<std::string>(fps == 0 ? kDurationTooBig : kDurationNegative));
  }
}

// Offsets in whole milliseconds from the first write.
std::vector<long long> offsets_from(Clock::time_point t0, const std::vector<Clock::time_point>& ts) {
  std::vector<long long> out;
  for (auto t : ts) out.push_back(std::chrono::duration_cast<milliseconds>(t - t0).count());
  return out;
}

// Sets up the stalled run of the pacing test, with surfaces that fill frames
// asynchronously when `split`.
void set_up_stall(WorkerRun& w, bool split, bool overlap = true) {
  w.inputs.fps = 10;
  w.inputs.overlap = overlap;
  w.services.split_grabs = split;
  w.services.clock = &w.clock;
  w.sink.write_takes = [](int i) { return i == 1 ? milliseconds(350) : milliseconds(0); };
  w.sink.outcome = [](int i) {
    return FrameSink::WriteOutcome{i == 7 ? Delivery::kClosed : Delivery::kWritten, {}};
  };
}

// Every frame handed over once, in order, each from a single grab.
void expect_frames_in_order_and_whole(const FakeFrameSink& sink) {
  std::vector<uint8_t> expected(sink.first_bytes.size());
  for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<uint8_t>(i + 1);
  EXPECT_EQ(sink.first_bytes, expected) << "a frame dropped or handed over twice";
  EXPECT_EQ(std::count(sink.whole.begin(), sink.whole.end(), false), 0) << "a torn frame";
}

TEST(VideoWorkerOverlap, BehindScheduleTheNextGrabRunsDuringTheHandOver) {
  WorkerRun w;
  set_up_stall(w, true);
  w.run();
  ASSERT_EQ(w.sink.write_starts.size(), 8u);
  const auto t0 = w.sink.write_starts[0];
  EXPECT_EQ(offsets_from(t0, w.sink.write_starts),
            (std::vector<long long>{0, 100, 450, 450, 450, 500, 600, 700}));
  expect_frames_in_order_and_whole(w.sink);
  // Frames 4 and 5 were due (300, 400 ms) while frames 3 and 4 were handed
  // over at 450; frame 6 was not (500 ms), so it is grabbed after the sleep.
  EXPECT_EQ(w.services.grab_calls,
            (std::vector<std::string>{"grab", "grab", "grab", "begin", "finish", "begin",
                                      "finish", "grab", "grab", "grab"}));
  // No grab starts before its deadline: the anchor plus (k - 1) intervals.
  ASSERT_EQ(w.services.grab_starts.size(), 8u);
  for (size_t k = 1; k < 8; ++k) {
    EXPECT_GE(w.services.grab_starts[k], t0 + milliseconds(100) * k) << "frame " << k + 1;
  }
  EXPECT_EQ(w.services.grabs_dropped, 0);
}

TEST(VideoWorkerOverlap, OnScheduleEveryGrabStartsAtItsDeadline) {
  WorkerRun w;
  w.inputs.fps = 60;
  w.services.split_grabs = true;
  w.services.clock = &w.clock;
  w.sink.write_takes = [](int) { return milliseconds(3); };
  w.sink.outcome = [](int i) {
    return FrameSink::WriteOutcome{i == 30 ? Delivery::kClosed : Delivery::kWritten, {}};
  };
  w.run();
  ASSERT_EQ(w.services.grab_starts.size(), 31u);
  EXPECT_EQ(std::count(w.services.grab_calls.begin(), w.services.grab_calls.end(), "grab"), 31);
  const auto anchor = w.sink.write_starts[0] + milliseconds(3);
  for (size_t k = 1; k < 31; ++k) {
    EXPECT_EQ(w.services.grab_starts[k], anchor + std::chrono::nanoseconds(16666667) * k)
        << "frame " << k + 1;
  }
  expect_frames_in_order_and_whole(w.sink);
}

TEST(VideoWorkerOverlap, AStopDropsTheGrabBegunAheadWithoutWritingIt) {
  WorkerRun w;
  set_up_stall(w, true);
  // Stop while frame 4 is handed over, with frame 5's grab under way.
  w.sink.outcome = [&](int i) {
    if (i == 3) w.state.stop_requested.store(true);
    return FrameSink::WriteOutcome{};
  };
  w.run();
  EXPECT_EQ(w.sink.write_starts.size(), 4u) << "nothing after the pass that saw the stop";
  EXPECT_EQ(w.services.grabs, 5);
  EXPECT_EQ(w.services.grabs_dropped, 1);
  EXPECT_EQ(w.services.surfaces_alive, 0);
  expect_frames_in_order_and_whole(w.sink);
}

TEST(VideoWorkerOverlap, SurfacesWithTheDefaultHalvesAndRunsWithoutOverlapGrabInPlace) {
  for (bool split : {false, true}) {
    WorkerRun w;
    set_up_stall(w, split, /*overlap=*/split);
    w.run();
    ASSERT_EQ(w.sink.write_starts.size(), 8u) << split;
    expect_frames_in_order_and_whole(w.sink);
    if (split) continue;  // the overlapping case is the first test's
    EXPECT_EQ(std::count(w.services.grab_calls.begin(), w.services.grab_calls.end(), "grab"), 8);
  }
  WorkerRun off;
  set_up_stall(off, true, /*overlap=*/false);
  off.run();
  EXPECT_EQ(std::count(off.services.grab_calls.begin(), off.services.grab_calls.end(), "grab"), 8)
      << "overlap turned off";
  expect_frames_in_order_and_whole(off.sink);
}

std::array<double, kMeasuredGrabs> constant(double seconds) {
  std::array<double, kMeasuredGrabs> s;
  s.fill(seconds);
  return s;
}

TEST(AchievableFps, Arithmetic) {
  EXPECT_EQ(achievable_fps_from_samples(constant(0.020), 60), 50);
  EXPECT_EQ(achievable_fps_from_samples(constant(0.017), 60), 60);
  EXPECT_EQ(achievable_fps_from_samples(constant(0.0185), 60), 60) << "54 equals 0.9 * 60";
  EXPECT_EQ(achievable_fps_from_samples(constant(0.100), 60), 15) << "floor of 15";
  for (int32_t target = 0; target <= 16; ++target) {
    EXPECT_EQ(achievable_fps_from_samples(constant(0.100), target), target);
  }
  EXPECT_EQ(achievable_fps_from_samples(constant(0.001), -7), -7);
  EXPECT_EQ(achievable_fps_from_samples(constant(0.0), 60), 60) << "a zero mean saturates";
  EXPECT_EQ(achievable_fps_from_samples(constant(0.0), INT32_MAX), INT32_MAX);
  auto warm_up = constant(0.020);
  warm_up[0] = warm_up[1] = warm_up[2] = 10.0;
  EXPECT_EQ(achievable_fps_from_samples(warm_up, 60), 50) << "the first three never count";
}

class StepClock final : public Clock {
 public:
  explicit StepClock(milliseconds step) : step_(step) {}
  time_point now() override { return current_ += step_; }  // each grab takes one step
  void sleep_for(std::chrono::nanoseconds) override {}

 private:
  milliseconds step_;
  time_point current_{};
};

TEST(AchievableFps, MeasuresTenGrabsOfTheChosenSource) {
  FakeWindowServices fake = two_monitors();
  StepClock clock(milliseconds(20));
  EXPECT_EQ(measure_achievable_fps(fake, clock, 1, std::nullopt, 60), 50);
  EXPECT_EQ(fake.grabs, 10);
  ASSERT_EQ(fake.surfaces_made.size(), 1u);
  EXPECT_EQ(fake.surfaces_made[0].origin_x, -1365);
  EXPECT_EQ(fake.surfaces_alive, 0);

  // Out of range: the target at once, nothing grabbed.
  EXPECT_EQ(measure_achievable_fps(fake, clock, 2, std::nullopt, 60), 60);
  EXPECT_EQ(measure_achievable_fps(fake, clock, -1, std::nullopt, 60), 60);
  EXPECT_EQ(fake.grabs, 10);

  // A handle that is no window is measured as 0 x 0, with no validity test.
  EXPECT_EQ(measure_achievable_fps(fake, clock, std::nullopt, 12345, 30), 30);
  ASSERT_EQ(fake.surfaces_made.size(), 2u);
  EXPECT_TRUE(fake.surfaces_made[1].is_window);
  EXPECT_EQ(fake.surfaces_made[1].width, 0);
  EXPECT_EQ(fake.grabs, 20);
}

// --------------------------------------------------------------------------
// Frame memory

std::vector<uint8_t> pattern(size_t size) {
  std::vector<uint8_t> v(size);
  for (size_t i = 0; i < size; ++i) v[i] = static_cast<uint8_t>(i * 131 + i / 251 + 7);
  return v;
}

// Copies `size` bytes between the given offsets and checks that exactly the
// destination range changed, to the source's bytes.
void expect_exact_copy(void (*copy)(uint8_t*, const uint8_t*, size_t), size_t size,
                       size_t from_offset, size_t to_offset) {
  const std::vector<uint8_t> from = pattern(size + from_offset + 1);  // never empty
  std::vector<uint8_t> to(size + to_offset + 64, 0xEE);
  copy(to.data() + to_offset, from.data() + from_offset, size);
  ASSERT_EQ(std::memcmp(to.data() + to_offset, from.data() + from_offset, size), 0)
      << "size " << size << ", offsets " << from_offset << " " << to_offset;
  for (size_t i = 0; i < to_offset; ++i) ASSERT_EQ(to[i], 0xEE) << "before, size " << size;
  for (size_t i = to_offset + size; i < to.size(); ++i) {
    ASSERT_EQ(to[i], 0xEE) << "after, size " << size << ", offset " << to_offset;
  }
}

TEST(FrameMemory, StreamingCopyOfAnyAlignmentAndLength) {
  // Around the 16-byte head and the 64-byte blocks and tail of the loop.
  const size_t sizes[] = {0, 1, 15, 16, 17, 63, 64, 65, 79, 127, 128, 200, 4099};
  const size_t from_offsets[] = {0, 1, 8, 13};
  const size_t to_offsets[] = {0, 1, 3, 8, 15, 16};
  for (size_t size : sizes) {
    for (size_t from_offset : from_offsets) {
      for (size_t to_offset : to_offsets) {
        expect_exact_copy(copy_streaming, size, from_offset, to_offset);
      }
    }
  }
}

TEST(FrameMemory, FramesEitherSideOfTheStreamingSize) {
  const size_t sizes[] = {kStreamingCopyMinBytes - 1, kStreamingCopyMinBytes + 36};
  for (size_t size : sizes) {
    expect_exact_copy(copy_frame, size, 4, 5);
  }
}

#if defined(__linux__)
// The mapping of /proc/self/smaps that holds `address`: its bounds and
// whether it is advised to use huge pages.
struct Mapping {
  uintptr_t begin = 0, end = 0;
  bool huge = false;
};

Mapping mapping_of(uintptr_t address) {
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  Mapping m;
  bool inside = false;
  while (std::getline(smaps, line)) {
    uintptr_t begin = 0, end = 0;
    char dash = 0;
    std::istringstream head(line);
    if (head >> std::hex >> begin >> dash >> end && dash == '-' && line.find(':') > 17) {
      inside = begin <= address && address < end;
      if (inside) m = {begin, end, false};
    } else if (inside && line.rfind("VmFlags:", 0) == 0) {
      m.huge = (line + " ").find(" hg ") != std::string::npos;
      return m;
    }
  }
  return {};
}

TEST(FrameMemory, HugePageAdviceCoversTheWholeHugePagesInsideOnly) {
  if (std::ifstream("/sys/kernel/mm/transparent_hugepage/enabled").fail()) {
    GTEST_SKIP() << "no transparent huge pages in this kernel";
  }
  // 10 MB from an odd address: the advice must start and end at huge-page
  // boundaries inside the range, and leave the edges before and after alone.
  const size_t mapped = 16 << 20;
  void* region = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(region, MAP_FAILED);
  const uintptr_t base = reinterpret_cast<uintptr_t>(region);
  constexpr size_t huge = platform::kHugePageBytes;
  const uintptr_t data = (base + huge - 1) / huge * huge + 4096 + 48;
  const size_t size = (10 << 20) + 100;
  const uintptr_t first = data - 4096 - 48 + huge;
  const uintptr_t last = first + 4 * huge;
  ASSERT_LE(data + size, base + mapped);
  ASSERT_LT(last, data + size);

  platform::advise_huge_pages(reinterpret_cast<uint8_t*>(data), size);
  const Mapping inside = mapping_of(first);
  EXPECT_TRUE(inside.huge);
  EXPECT_EQ(inside.begin, first);
  EXPECT_EQ(inside.end, last);
  EXPECT_FALSE(mapping_of(data).huge);
  EXPECT_FALSE(mapping_of(last).huge);
  EXPECT_FALSE(mapping_of(data + size - 1).huge);
  munmap(region, mapped);
}
#endif

}  // namespace
}  // namespace vorel
