// A scripted output stream and a fake clock for the video worker.
#pragma once

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "video/frame_sink.h"

namespace vorel::testing {

// Time moves only when the worker sleeps or a hand-over takes time.
class FakeClock final : public Clock {
 public:
  time_point current{std::chrono::seconds(1000)};
  std::vector<std::chrono::nanoseconds> sleeps;
  std::function<void()> on_sleep;  // runs after each sleep

  time_point now() override { return current; }
  void sleep_for(std::chrono::nanoseconds d) override {
    sleeps.push_back(d);
    current += d;
    if (on_sleep) on_sleep();
  }
};

class FakeFrameSink final : public FrameSink {
 public:
  explicit FakeFrameSink(FakeClock& clock) : clock_(clock) {}

  ReadyOutcome ready{Readiness::kReady, {}};
  int ready_calls = 0;
  // Per write: the outcome (default written) and how long it takes.
  std::function<WriteOutcome(int index)> outcome;
  std::function<std::chrono::nanoseconds(int index)> write_takes;
  // What each write saw: the clock when it began, and the first byte.
  std::vector<Clock::time_point> write_starts;
  std::vector<uint8_t> first_bytes;
  std::vector<size_t> sizes;
  // Whether every byte of the frame was the same, i.e. it came from one grab.
  std::vector<bool> whole;

  ReadyOutcome wait_ready() override {
    ++ready_calls;
    return ready;
  }

  WriteOutcome write(const uint8_t* frame, size_t size) override {
    const int index = static_cast<int>(write_starts.size());
    write_starts.push_back(clock_.current);
    first_bytes.push_back(size > 0 ? frame[0] : 0);
    sizes.push_back(size);
    whole.push_back(std::all_of(frame, frame + size, [&](uint8_t b) { return b == frame[0]; }));
    if (write_takes) clock_.current += write_takes(index);
    return outcome ? outcome(index) : WriteOutcome{};
  }

 private:
  FakeClock& clock_;
};

}  // namespace vorel::testing
