// Per-process loopback is handed out asynchronously: the platform activates
// the audio client on a thread of its own and reports to a completion
// handler, while the worker blocks for a bounded time. This is the part of
// that exchange that needs no COM: the two records the worker and the
// handler share, the outcome the handler forms from what the platform
// reported, and the worker's wait.
//
// Lock order: the worker holds the signal's lock while it takes the slot's;
// the handler takes one lock at a time, so the two never block each other.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "errors/platform_error.h"
#include "platform/audio_services.h"
#include "util/result.h"

namespace vorel {

// How long the worker waits for the platform to report.
inline constexpr std::chrono::seconds kProcessActivationTimeout{15};

// The code of an activation reported as successful that brought no
// interface, and E_POINTER for a query that succeeded without a pointer.
inline constexpr int32_t kActivationWithoutInterface = -1;  // 0xFFFFFFFF
inline constexpr int32_t kNullPointerResult = static_cast<int32_t>(0x80004003u);

// The activated client, or the error the platform reported for it.
using ActivationOutcome = std::variant<std::unique_ptr<platform::AudioClient>, PlatformError>;

class ActivationResultSlot {
 public:
  // Puts `outcome` in. An outcome already there is released, after the lock
  // is given up: releasing a client calls into the platform.
  void store(ActivationOutcome outcome);
  // Takes the outcome out; the slot is empty afterwards.
  std::optional<ActivationOutcome> take();

 private:
  std::mutex mutex_;
  std::optional<ActivationOutcome> outcome_;
};

struct ActivationSignal {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;  // guarded by `mutex`
};

// The interface GetActivateResult handed back (an IUnknown), released with
// this object.
class ActivatedInterface {
 public:
  virtual ~ActivatedInterface() = default;
  // QueryInterface for IAudioClient. A null client stands for a query that
  // reported success without a pointer.
  virtual Result<std::unique_ptr<platform::AudioClient>, PlatformError> query_audio_client() = 0;
};

// What GetActivateResult reported, when the call itself succeeded.
struct ActivateResult {
  int32_t activation_result = 0;                  // an HRESULT
  std::unique_ptr<ActivatedInterface> activated;  // null when none came
};

// The outcome to store for what GetActivateResult reported. The error is the
// failure of GetActivateResult itself: then nothing is stored or signalled
// and the handler returns that failure. The activated interface is released
// before this returns, whatever the outcome.
Result<ActivationOutcome, PlatformError> form_outcome(Result<ActivateResult, PlatformError> reported);

// The handler's side: stores the outcome, unlocks the slot, then sets `done`
// and wakes every waiter.
void complete(ActivationResultSlot& slot, ActivationSignal& signal, ActivationOutcome outcome);

// The worker's side: waits until `done` is set, at most `timeout` from the
// start of the wait, and takes the outcome out. The error is the complete
// failure text.
Result<std::unique_ptr<platform::AudioClient>, std::string> wait_for_activation(
    ActivationSignal& signal, ActivationResultSlot& slot, std::chrono::nanoseconds timeout);

// What the completion handler keeps of one activation: its own references to
// both records. The platform may report after the worker stopped waiting;
// the records, and a client stored in them, then live until the platform
// drops the handler.
class ActivationCompletion {
 public:
  ActivationCompletion(std::shared_ptr<ActivationResultSlot> slot,
                       std::shared_ptr<ActivationSignal> signal)
      : slot_(std::move(slot)), signal_(std::move(signal)) {}

  // Forms the outcome and completes the activation with it. Returns the
  // failure of GetActivateResult itself, with nothing stored or signalled.
  std::optional<PlatformError> completed(Result<ActivateResult, PlatformError> reported);

  // Completes the activation with the failure `code` (an HRESULT), for a
  // handler that could not finish (an allocation of its own failed), so that
  // the worker does not wait out its time-out. Allocates nothing.
  void abandon(int32_t code) noexcept;

 private:
  std::shared_ptr<ActivationResultSlot> slot_;
  std::shared_ptr<ActivationSignal> signal_;
};

// One activation as the worker holds it.
struct PendingActivation {
  std::shared_ptr<ActivationResultSlot> slot = std::make_shared<ActivationResultSlot>();
  std::shared_ptr<ActivationSignal> signal = std::make_shared<ActivationSignal>();

  ActivationCompletion completion() const { return ActivationCompletion(slot, signal); }
  Result<std::unique_ptr<platform::AudioClient>, std::string> wait(
      std::chrono::nanoseconds timeout) {
    return wait_for_activation(*signal, *slot, timeout);
  }
};

// The failure text when the platform refuses the request itself (it fails,
// or hands back no operation).
std::string activation_request_failed(const PlatformError& error);

}  // namespace vorel
