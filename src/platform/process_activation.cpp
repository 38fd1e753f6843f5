#include "platform/errors.h"
#include "platform/process_activation.h"

#include <system_error>
#include <utility>

namespace vorel {

void ActivationResultSlot::store(ActivationOutcome outcome) {
  std::optional<ActivationOutcome> previous;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    previous = std::exchange(outcome_, std::move(outcome));
  }
  // `previous` goes here, outside the lock.
}

std::optional<ActivationOutcome> ActivationResultSlot::take() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(outcome_, std::nullopt);
}

Result<ActivationOutcome, PlatformError> form_outcome(
    Result<ActivateResult, PlatformError> reported) {
  if (!reported) return Err(std::move(reported).error());
  ActivateResult result = std::move(reported).value();
  // An activation failure brings no information of its own: the thread's
  // current one belongs to some other call.
  if (result.activation_result < 0) {
    return ActivationOutcome(PlatformError::with_info(result.activation_result, nullptr));
  }
  if (!result.activated) {
    return ActivationOutcome(PlatformError::with_info(kActivationWithoutInterface, nullptr));
  }
  auto client = result.activated->query_audio_client();
  result.activated.reset();
  if (!client) return ActivationOutcome(std::move(client).error());
  if (!*client) return ActivationOutcome(PlatformError::with_info(kNullPointerResult, nullptr));
  return ActivationOutcome(std::move(client).value());
}

void complete(ActivationResultSlot& slot, ActivationSignal& signal, ActivationOutcome outcome) {
  slot.store(std::move(outcome));
  std::lock_guard<std::mutex> lock(signal.mutex);
  signal.done = true;
  signal.cv.notify_all();
}

Result<std::unique_ptr<platform::AudioClient>, std::string> wait_for_activation(
    ActivationSignal& signal, ActivationResultSlot& slot, std::chrono::nanoseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::optional<ActivationOutcome> outcome;
  {
    std::unique_lock<std::mutex> lock(signal.mutex);
    // Spurious and early wake-ups wait again, for the time left only.
    while (!signal.done) {
      if (signal.cv.wait_until(lock, deadline) == std::cv_status::timeout && !signal.done) {
        return Err(std::string("Process audio loopback activation timed out."));
      }
    }
    outcome = slot.take();
  }
  if (!outcome) return Err(std::string("Completion handler did not provide a result."));
  if (auto* error = std::get_if<PlatformError>(&*outcome)) {
    return Err("Process loopback activation failed: " + platform::render(*error));
  }
  return std::move(std::get<std::unique_ptr<platform::AudioClient>>(*outcome));
}

std::optional<PlatformError> ActivationCompletion::completed(
    Result<ActivateResult, PlatformError> reported) {
  auto outcome = form_outcome(std::move(reported));
  if (!outcome) return std::move(outcome).error();
  complete(*slot_, *signal_, std::move(outcome).value());
  return std::nullopt;
}

void ActivationCompletion::abandon(int32_t code) noexcept {
  // Nothing here allocates; only a lock that cannot be taken could throw,
  // and then the worker's time-out is all that is left.
  try {
    complete(*slot_, *signal_, ActivationOutcome(PlatformError::with_info(code, nullptr)));
  } catch (const std::system_error&) {
  }
}

std::string activation_request_failed(const PlatformError& error) {
  return "ActivateAudioInterfaceAsync failed: " + platform::render(error) +
         ". Process-specific audio capture requires Windows 10 version 2004 (build 19041) or "
         "later.";
}

}  // namespace vorel
