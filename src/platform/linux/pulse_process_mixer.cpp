#include "platform/linux/pulse_process_mixer.h"

#include <algorithm>
#include <cstring>

namespace vorel::platform::pulse {

ClockedMixer::ClockedMixer(uint16_t channels, uint32_t packet_frames, uint32_t latency_frames,
                           uint32_t max_ahead_frames)
    : channels_(channels),
      packet_frames_(std::max<uint32_t>(packet_frames, 1)),
      latency_(latency_frames),
      max_ahead_(std::max(max_ahead_frames, latency_frames)),
      // Room for everything a stream may write ahead, past a packet that is
      // due but not yet handed out.
      capacity_(static_cast<uint64_t>(max_ahead_) + packet_frames_),
      ring_(static_cast<size_t>(capacity_) * channels_, 0.0f),
      packet_(static_cast<size_t>(packet_frames_) * channels_, 0.0f) {}

void ClockedMixer::add(Cursor& cursor, const uint8_t* samples, size_t frames, uint64_t due) {
  if (frames == 0) return;
  if (!cursor.next || *cursor.next < due) {
    // The stream's newest frame lands `latency` from now; a burst longer
    // than that starts now.
    const uint64_t lead = latency_ > frames ? latency_ - frames : 0;
    cursor.next = due + lead;
  }
  const uint64_t at = *cursor.next;
  const uint64_t limit = std::min(due + max_ahead_, emitted_ + capacity_);
  const uint64_t take = at >= limit ? 0 : std::min<uint64_t>(frames, limit - at);
  if (samples != nullptr) {
    for (uint64_t i = 0; i < take; ++i) {
      float* out = slot(at + i);
      const uint8_t* in = samples + i * channels_ * sizeof(float);
      for (size_t c = 0; c < channels_; ++c) {
        float value;
        std::memcpy(&value, in + c * sizeof(float), sizeof(float));
        out[c] += value;
      }
    }
  }
  cursor.next = at + take;
}

uint32_t ClockedMixer::next_size(uint64_t due) const {
  return due >= emitted_ + packet_frames_ ? packet_frames_ : 0;
}

const uint8_t* ClockedMixer::packet() {
  for (uint32_t i = 0; i < packet_frames_; ++i) {
    std::copy_n(slot(emitted_ + i), channels_, &packet_[i * channels_]);
  }
  return reinterpret_cast<const uint8_t*>(packet_.data());
}

void ClockedMixer::consume() {
  for (uint32_t i = 0; i < packet_frames_; ++i) std::fill_n(slot(emitted_ + i), channels_, 0.0f);
  emitted_ += packet_frames_;
}

void ClockedMixer::reset() {
  std::fill(ring_.begin(), ring_.end(), 0.0f);
  emitted_ = 0;
}

}  // namespace vorel::platform::pulse
