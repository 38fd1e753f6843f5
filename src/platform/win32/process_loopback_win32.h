// Process-loopback activation on Core Audio: ActivateAudioInterfaceAsync on
// the virtual loopback device, the completion handler the platform calls
// back on a thread of its own, and the bounded wait that turns the two into
// one blocking call.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/process_activation.h"
#include "platform/audio_services.h"
#include "platform/win32/compat.h"
#include "platform/win32/scoped.h"

namespace vorel::win32 {

// The activation parameters of a loopback stream of one process tree, in
// the VT_BLOB PROPVARIANT that carries them. The blob points into this
// object, so it never moves, and the PROPVARIANT owns nothing that
// PropVariantClear would have to free.
class ProcessLoopbackParams {
 public:
  explicit ProcessLoopbackParams(uint32_t process_id) noexcept;
  ProcessLoopbackParams(const ProcessLoopbackParams&) = delete;
  ProcessLoopbackParams& operator=(const ProcessLoopbackParams&) = delete;

  PROPVARIANT* get() noexcept { return &carrier_; }

 private:
  AUDIOCLIENT_ACTIVATION_PARAMS record_{};
  PROPVARIANT carrier_;
};

// AudioServices::activate_process_loopback: an audio client, not yet
// initialized, for what process `process_id` and its descendants play;
// stretches where the process plays nothing are filled with silence. The
// error is the complete failure text.
Result<std::unique_ptr<platform::AudioClient>, std::string> activate_process_loopback(
    uint32_t process_id);

// The asynchronous activation of an IAudioClient on the device interface
// `path` with `params` (may be null), waited for at most `timeout`.
// activate_process_loopback() uses it; tests also give it an endpoint's id,
// on which the platform does deliver a client.
Result<std::unique_ptr<platform::AudioClient>, std::string> activate_audio_client_async(
    const wchar_t* path, PROPVARIANT* params, std::chrono::nanoseconds timeout);

// A new completion handler that reports to `completion`. The reference
// returned is the object's first; the object frees itself with its last.
ComPtr<IActivateAudioInterfaceCompletionHandler> make_activation_handler(
    ActivationCompletion completion);

}  // namespace vorel::win32
