// The record shared by an AudioCapture object and the workers it starts.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "util/sync.h"

namespace vorel {

struct AudioCaptureState {
  Guarded<std::optional<std::string>> error;
  Guarded<uint32_t> sample_rate{48000};
  Milestone format_ready;
  Milestone started;
  Guarded<std::optional<double>> started_at;
  Guarded<uint16_t> channels{2};
  Guarded<uint16_t> bits_per_sample{16};
  std::atomic<bool> running{false};
  std::atomic<bool> stop_requested{false};
};

}  // namespace vorel
