// Puts the first frame a record stream delivers where it belongs on the wall
// clock, so that a recording's time line starts at its Start.
//
// A sink that no low-latency client listens to renders far ahead of real time
// (an idle null sink up to 2 s), and its monitor has already passed on what it
// rendered before our stream was connected: the stream's first frame is then
// played that long after Start, and nothing comes before it. The sound of that
// stretch is gone, but its time is not: it is handed out as silence, as a
// Windows loopback stream delivers silence while nothing plays. The stretch is
// measured once, from the stream's timing information at its first frame;
// after that the stream is left to the sink's clock, so a sink whose clock
// drifts against ours never gets silence inserted mid-recording.
#pragma once

#include <pulse/sample.h>

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace vorel::platform::pulse {

using SteadyTime = std::chrono::steady_clock::time_point;

// What a record stream's timing information says, in the library's terms.
struct RecordTiming {
  SteadyTime measured_at;  // when the server took its figures
  pa_usec_t sink_usec = 0;    // a monitor's sink: rendered, not yet played
  pa_usec_t source_usec = 0;  // captured, not yet queued for us
  int64_t write_index = 0;    // bytes the server queued for the stream
  int64_t read_index = 0;     // bytes we took out of the stream
};

inline std::chrono::nanoseconds frames_to_duration(uint64_t frames, uint32_t rate) {
  if (rate == 0) return std::chrono::nanoseconds(0);
  // Whole seconds apart, so that hours of frames cannot overflow.
  return std::chrono::seconds(frames / rate) +
         std::chrono::nanoseconds((frames % rate) * 1'000'000'000 / rate);
}

inline uint64_t duration_to_frames(std::chrono::nanoseconds d, uint32_t rate) {
  if (d.count() <= 0) return 0;
  const auto ns = static_cast<uint64_t>(d.count());
  return ns / 1'000'000'000 * rate + ns % 1'000'000'000 * rate / 1'000'000'000;
}

// When the frame we read next is played. The frame the server queues next
// (at the write index) is the one its sink renders next, played `sink_usec`
// from the measurement (a source's own latency has it captured that much
// before); the frames queued between our read index and the write index come
// before it.
inline SteadyTime next_read_plays_at(const RecordTiming& t, uint32_t rate, size_t frame_bytes) {
  using std::chrono::microseconds;
  const int64_t queued_bytes = std::max<int64_t>(t.write_index - t.read_index, 0);
  const uint64_t queued_frames =
      frame_bytes == 0 ? 0 : static_cast<uint64_t>(queued_bytes) / frame_bytes;
  return t.measured_at + microseconds(t.sink_usec) - microseconds(t.source_usec) -
         frames_to_duration(queued_frames, rate);
}

// The silence in front of a stream's first frame after each start, in frames
// of the stream's rate. The owner counts every frame it hands out, silent or
// not, and asks `pending()` before each packet.
class WallClockStart {
 public:
  // How far the clock runs ahead of what has arrived before silence is due:
  // a fragment on its way plus scheduling slack, so that silence handed out
  // by the clock never overlaps the first frame when it arrives.
  static constexpr std::chrono::milliseconds kHoldBack{20};
  // More than this in front of the first frame is not believed: no sink
  // renders that far ahead.
  static constexpr std::chrono::seconds kMaxLead{10};

  explicit WallClockStart(uint32_t rate) : rate_(rate) {}

  // The stream starts (or resumes) now, `handed_out` frames into the
  // recording.
  void start(SteadyTime now, uint64_t handed_out) {
    started_ = now;
    origin_ = now - frames_to_duration(handed_out, rate_);
    waiting_ = true;
    target_ = handed_out;
  }

  // Nothing more is handed out until the next start.
  void stop() {
    waiting_ = false;
    target_ = 0;
  }

  // True from a start until the first frame was placed.
  bool waiting() const { return waiting_; }

  // Nothing has arrived yet at `now`: the clock makes silence due.
  void nothing_yet(SteadyTime now) {
    if (!waiting_) return;
    target_ = std::max(target_, frames_since_origin(now - kHoldBack));
  }

  // The first frame has arrived and plays at `plays_at`: silence up to there.
  void first_frame(SteadyTime plays_at) {
    if (!waiting_) return;
    waiting_ = false;
    if (plays_at > started_ + kMaxLead) return;
    target_ = std::max(target_, frames_since_origin(plays_at));
  }

  // The first frame has arrived but when it plays is unknown: it follows at
  // once.
  void first_frame_unplaced() { waiting_ = false; }

  // Silent frames due before the next real one, given `handed_out` so far.
  uint64_t pending(uint64_t handed_out) const {
    return target_ > handed_out ? target_ - handed_out : 0;
  }

 private:
  uint64_t frames_since_origin(SteadyTime t) const {
    return duration_to_frames(t - origin_, rate_);
  }

  uint32_t rate_;
  SteadyTime started_{};
  SteadyTime origin_{};  // where frame 0 of the recording is on the clock
  bool waiting_ = false;
  uint64_t target_ = 0;  // frames, silent ones included, before the first real one
};

}  // namespace vorel::platform::pulse
