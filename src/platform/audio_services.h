// Audio services: the COM apartment, output endpoints, and the loopback
// audio client with its packet reader, at the grain of the Core Audio calls
// so that the order of steps, the milestones and every failure text live
// above the platform. Every fallible call returns its result or the error
// value of that call.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "errors/platform_error.h"
#include "util/result.h"

namespace vorel::platform {

inline constexpr uint32_t kBufferFlagDataDiscontinuity = 0x1;
inline constexpr uint32_t kBufferFlagSilent = 0x2;

// The shared-mode format record GetMixFormat hands out (WAVEFORMATEX and any
// extensible tail), owned until the end of the recording.
class MixFormat {
 public:
  virtual ~MixFormat() = default;
  virtual uint32_t samples_per_sec() const = 0;
  virtual uint16_t channels() const = 0;
  virtual uint16_t bits_per_sample() const = 0;
};

// One packet as GetBuffer hands it out; valid until ReleaseBuffer.
struct Packet {
  const uint8_t* data = nullptr;
  uint32_t frames = 0;
  uint32_t flags = 0;
};

// IAudioCaptureClient.
class CaptureClient {
 public:
  virtual ~CaptureClient() = default;
  // Frames in the next pending packet; 0 when none is pending.
  virtual Result<uint32_t, PlatformError> next_packet_size() = 0;
  virtual Result<Packet, PlatformError> get_buffer() = 0;
  virtual Status<PlatformError> release_buffer(uint32_t frames) = 0;
};

// IAudioClient.
class AudioClient {
 public:
  virtual ~AudioClient() = default;
  virtual Result<std::unique_ptr<MixFormat>, PlatformError> get_mix_format() = 0;
  // Shared mode, the loopback flag and no other, a one-second buffer,
  // periodicity 0, `format`, no session GUID.
  virtual Status<PlatformError> initialize_loopback(const MixFormat& format) = 0;
  virtual Result<uint32_t, PlatformError> get_buffer_size() = 0;
  virtual Result<std::unique_ptr<CaptureClient>, PlatformError> get_capture_client() = 0;
  virtual Status<PlatformError> start() = 0;
  virtual Status<PlatformError> stop() = 0;
  virtual Status<PlatformError> reset() = 0;
};

// IMMDevice.
class Endpoint {
 public:
  virtual ~Endpoint() = default;
  virtual Result<std::unique_ptr<AudioClient>, PlatformError> activate_audio_client() = 0;
  // The identifier string as the platform reports it (not yet validated).
  virtual Result<std::u16string, PlatformError> get_id() = 0;
  // The friendly name when it can be read as text; nullopt on any failure.
  virtual std::optional<std::u16string> friendly_name() = 0;
};

// IMMDeviceCollection.
class EndpointCollection {
 public:
  virtual ~EndpointCollection() = default;
  virtual Result<uint32_t, PlatformError> count() = 0;
  virtual Result<std::unique_ptr<Endpoint>, PlatformError> item(uint32_t index) = 0;
};

// IMMDeviceEnumerator.
class DeviceEnumerator {
 public:
  virtual ~DeviceEnumerator() = default;
  // GetDefaultAudioEndpoint(eRender, eConsole).
  virtual Result<std::unique_ptr<Endpoint>, PlatformError> default_render_endpoint() = 0;
  // EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE).
  virtual Result<std::unique_ptr<EndpointCollection>, PlatformError> active_render_endpoints() = 0;
};

// One session of audio services on the calling thread: it joins the
// multithreaded COM apartment for its lifetime (leaving it at the end only
// when joining succeeded), so it must be destroyed after every object it
// handed out.
class AudioServices {
 public:
  virtual ~AudioServices() = default;
  // CoCreateInstance(MMDeviceEnumerator).
  virtual Result<std::unique_ptr<DeviceEnumerator>, PlatformError> create_device_enumerator() = 0;
  // An audio client that records only what process `process_id` and its
  // descendants play; not yet initialized. The error is the complete
  // failure text.
  virtual Result<std::unique_ptr<AudioClient>, std::string> activate_process_loopback(
      uint32_t process_id) = 0;
};

std::unique_ptr<AudioServices> open_audio_services();

}  // namespace vorel::platform
