// The record shared by a VideoCapture object and the workers it starts.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "util/sync.h"

namespace vorel {

struct VideoCaptureState {
  Guarded<std::optional<std::string>> error;
  Guarded<int32_t> width{0};
  Guarded<int32_t> height{0};
  Milestone ready;
  std::atomic<bool> running{false};
  std::atomic<bool> stop_requested{false};
};

}  // namespace vorel
