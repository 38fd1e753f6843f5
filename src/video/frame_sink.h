// The caller's output stream as the video worker sees it. The module
// implements it with the interpreter lock; tests use a fake.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "util/clock.h"

namespace vorel {

class FrameSink {
 public:
  enum class Readiness { kReady, kNotReady, kFailed };
  struct ReadyOutcome {
    Readiness readiness = Readiness::kReady;
    std::string text;  // with kFailed
  };

  enum class Delivery { kWritten, kClosed, kFailed };
  struct WriteOutcome {
    Delivery delivery = Delivery::kWritten;
    std::string text;  // with kFailed
  };

  virtual ~FrameSink() = default;
  // The optional readiness handshake, once per run before the first frame.
  virtual ReadyOutcome wait_ready() = 0;
  // Hands one frame over; the sink makes its own copy.
  virtual WriteOutcome write(const uint8_t* frame, size_t size) = 0;
};

}  // namespace vorel
