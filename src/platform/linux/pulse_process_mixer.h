// Mixes the record streams of one process tree into a single stream paced by
// the monotonic clock, as a process-loopback client delivers it: one frame
// per 1/rate seconds from the start, handed out in packets of a fixed size
// once they are due, whether the process played anything or not.
//
// The streams deliver in uneven bursts, each on its own schedule. A stream's
// audio is placed `latency` after the moment it arrived and continues back
// to back from there, so jitter below the latency costs nothing. A stream
// that falls behind (its next frame is already due) is placed anew, leaving
// a gap; one that runs more than `max_ahead` ahead of the clock loses the
// excess. Where no stream delivered, the output is silence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace vorel::platform::pulse {

class ClockedMixer {
 public:
  // Where one stream's next frame goes in the output; empty until the
  // stream first delivers, and again after it was interrupted.
  struct Cursor {
    std::optional<uint64_t> next;
  };

  // `max_ahead` is raised to `latency` if it is smaller.
  ClockedMixer(uint16_t channels, uint32_t packet_frames, uint32_t latency_frames,
               uint32_t max_ahead_frames);

  // Adds `frames` whole frames of 32-bit float samples (interleaved, any
  // alignment) that a stream delivered while `due` frames were due; null
  // `samples` is a hole the stream reported, silence that keeps its place.
  // `due` never decreases between calls.
  void add(Cursor& cursor, const uint8_t* samples, size_t frames, uint64_t due);

  // The frames of the next packet when `due` frames are due: a whole packet
  // or 0.
  uint32_t next_size(uint64_t due) const;
  // The next packet's samples (packet_frames × channels floats), valid until
  // consume() or reset().
  const uint8_t* packet();
  // The packet was handed out; its frames will not be written again.
  void consume();

  // Back to frame 0 with nothing pending. Cursors made before are stale and
  // must be cleared by their owners.
  void reset();

  uint64_t handed_out() const { return emitted_; }
  uint32_t packet_frames() const { return packet_frames_; }

 private:
  float* slot(uint64_t frame) { return &ring_[(frame % capacity_) * channels_]; }

  size_t channels_;
  uint32_t packet_frames_;
  uint32_t latency_;
  uint32_t max_ahead_;
  uint64_t capacity_;  // frames the ring holds, counted from emitted_
  uint64_t emitted_ = 0;
  std::vector<float> ring_;
  std::vector<float> packet_;
};

}  // namespace vorel::platform::pulse
