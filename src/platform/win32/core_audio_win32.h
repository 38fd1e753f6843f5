// The Core Audio objects behind audio_services.h, for the backend's own files
// and its tests.
#pragma once

#include <memory>

#include "platform/audio_services.h"
#include "platform/errors.h"
#include "platform/win32/compat.h"
#include "platform/win32/scoped.h"

namespace vorel::win32 {

// Which way an endpoint's data flows. initialize_loopback() records what a
// render endpoint plays; on a capture endpoint it records the endpoint
// itself, a stream Wine does deliver, which lets tests read real packets.
enum class EndpointFlow { render, capture };

std::unique_ptr<platform::Endpoint> make_endpoint(ComPtr<IMMDevice> device, EndpointFlow flow);

// An audio client not yet initialized. `device` is the endpoint it was
// activated on; when present (and the flow is render) the client plays
// silence on it while the loopback stream runs. A client not tied to one
// endpoint gets an empty `device`.
std::unique_ptr<platform::AudioClient> make_audio_client(ComPtr<IAudioClient> client,
                                                         ComPtr<IMMDevice> device,
                                                         EndpointFlow flow);

// The packet reader over an IAudioCaptureClient.
std::unique_ptr<platform::CaptureClient> make_capture_client(ComPtr<IAudioCaptureClient> reader);

// For calls whose failure is tolerated: true when `hr` failed. The error
// value is still made (and dropped), so the thread's error information is
// taken and cannot be mistaken later for that of another failure.
inline bool failed_and_dropped(HRESULT hr) {
  if (SUCCEEDED(hr)) return false;
  (void)platform::error_from_hresult(hr);
  return true;
}

// The record behind a MixFormat this backend handed out; null for any other.
const WAVEFORMATEX* wave_format(const platform::MixFormat& format);

}  // namespace vorel::win32
