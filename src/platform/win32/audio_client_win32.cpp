// IAudioClient and IAudioCaptureClient behind the AudioClient and
// CaptureClient interfaces. Each failure is made into its error value right
// where the call returned, on the calling thread.
#include <memory>
#include <optional>
#include <utility>

#include "platform/errors.h"
#include "platform/win32/core_audio_win32.h"
#include "platform/win32/silence_renderer_win32.h"

namespace vorel::win32 {
namespace {

using platform::CaptureClient;
using platform::MixFormat;
using platform::Packet;

// One second, in 100-ns units.
constexpr REFERENCE_TIME kBufferDuration = 10'000'000;

class CoreMixFormat final : public MixFormat {
 public:
  explicit CoreMixFormat(CoTaskMemPtr<WAVEFORMATEX> format) : format_(std::move(format)) {}

  uint32_t samples_per_sec() const override { return format_->nSamplesPerSec; }
  uint16_t channels() const override { return format_->nChannels; }
  uint16_t bits_per_sample() const override { return format_->wBitsPerSample; }

  const WAVEFORMATEX* get() const { return format_.get(); }

 private:
  CoTaskMemPtr<WAVEFORMATEX> format_;
};

class CoreCaptureClient final : public CaptureClient {
 public:
  explicit CoreCaptureClient(ComPtr<IAudioCaptureClient> reader) : reader_(std::move(reader)) {}

  Result<uint32_t, PlatformError> next_packet_size() override {
    UINT32 frames = 0;
    const HRESULT hr = reader_->GetNextPacketSize(&frames);
    if (FAILED(hr)) return Err(platform::error_from_hresult(hr));
    return frames;
  }

  Result<Packet, PlatformError> get_buffer() override {
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    // Asked for, as callers of the system do, and not used.
    UINT64 device_position = 0;
    UINT64 counter_position = 0;
    const HRESULT hr =
        reader_->GetBuffer(&data, &frames, &flags, &device_position, &counter_position);
    if (FAILED(hr)) return Err(platform::error_from_hresult(hr));
    // A success of its own: nothing was pending after all (the stream moved
    // on since the packet size was read). No packet is held, so there is
    // none to hand back either.
    if (hr == AUDCLNT_S_BUFFER_EMPTY) return Packet{nullptr, 0, 0};
    // From here the system holds a packet for us, whatever we make of it:
    // only ReleaseBuffer ends that.
    holding_ = true;
    // An empty packet may come without data; frames without data may not.
    if (frames > 0 && data == nullptr) return Err(PlatformError::null_result());
    return Packet{data, frames, static_cast<uint32_t>(flags)};
  }

  Status<PlatformError> release_buffer(uint32_t frames) override {
    // ReleaseBuffer must follow a GetBuffer that handed out a packet; after
    // an empty buffer releasing nothing is what the caller means, and the
    // system is not asked.
    if (!holding_ && frames == 0) return Unit{};
    const HRESULT hr = reader_->ReleaseBuffer(frames);
    // A refused release leaves the packet held: it can still be handed back.
    if (FAILED(hr)) return Err(platform::error_from_hresult(hr));
    holding_ = false;
    return Unit{};
  }

 private:
  ComPtr<IAudioCaptureClient> reader_;
  bool holding_ = false;  // a packet from GetBuffer not yet released
};

class CoreAudioClient final : public platform::AudioClient {
 public:
  CoreAudioClient(ComPtr<IAudioClient> client, ComPtr<IMMDevice> device, EndpointFlow flow)
      : device_(std::move(device)), client_(std::move(client)), flow_(flow) {}

  Result<std::unique_ptr<MixFormat>, PlatformError> get_mix_format() override {
    CoTaskMemPtr<WAVEFORMATEX> format;
    const HRESULT hr = client_->GetMixFormat(format.put());
    if (FAILED(hr)) return Err(platform::error_from_hresult(hr));
    if (!format) return Err(PlatformError::null_result());
    return std::unique_ptr<MixFormat>(std::make_unique<CoreMixFormat>(std::move(format)));
  }

  Status<PlatformError> initialize_loopback(const MixFormat& format) override {
    const WAVEFORMATEX* record = wave_format(format);
    if (record == nullptr) return Err(PlatformError::with_info(E_INVALIDARG, nullptr));
    const DWORD flags = flow_ == EndpointFlow::render ? AUDCLNT_STREAMFLAGS_LOOPBACK : 0;
    const HRESULT hr =
        client_->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, kBufferDuration, 0, record, nullptr);
    if (FAILED(hr)) return Err(platform::error_from_hresult(hr));
    if (device_ && flow_ == EndpointFlow::render) {
      if (auto renderer = SilenceRenderer::open_on(*device_.get(), *record)) {
        silence_.emplace(std::move(*renderer));
      }
    }
    return Unit{};
  }

  Result<uint32_t, PlatformError> get_buffer_size() override {
    UINT32 frames = 0;
    const HRESULT hr = client_->GetBufferSize(&frames);
    if (FAILED(hr)) return Err(platform::error_from_hresult(hr));
    return frames;
  }

  Result<std::unique_ptr<CaptureClient>, PlatformError> get_capture_client() override {
    ComPtr<IAudioCaptureClient> reader;
    const HRESULT hr = client_->GetService(kIidAudioCaptureClient, reader.put_void());
    if (FAILED(hr)) return Err(platform::error_from_hresult(hr));
    if (!reader) return Err(PlatformError::null_result());
    return make_capture_client(std::move(reader));
  }

  Status<PlatformError> start() override {
    // The silence starts first, so the loopback stream never waits on a
    // quiet endpoint.
    if (silence_) silence_->start();
    const HRESULT hr = client_->Start();
    if (FAILED(hr)) {
      PlatformError error = platform::error_from_hresult(hr);
      if (silence_) silence_->stop();
      return Err(std::move(error));
    }
    return Unit{};
  }

  Status<PlatformError> stop() override {
    const HRESULT hr = client_->Stop();
    std::optional<PlatformError> error;
    if (FAILED(hr)) error = platform::error_from_hresult(hr);
    if (silence_) silence_->stop();
    if (error) return Err(std::move(*error));
    return Unit{};
  }

  Status<PlatformError> reset() override {
    const HRESULT hr = client_->Reset();
    if (FAILED(hr)) return Err(platform::error_from_hresult(hr));
    return Unit{};
  }

 private:
  // Released newest first: the silence, the client, then the endpoint.
  ComPtr<IMMDevice> device_;
  ComPtr<IAudioClient> client_;
  EndpointFlow flow_;
  std::optional<SilenceRenderer> silence_;  // when it could be opened
};

}  // namespace

std::unique_ptr<platform::AudioClient> make_audio_client(ComPtr<IAudioClient> client,
                                                         ComPtr<IMMDevice> device,
                                                         EndpointFlow flow) {
  return std::make_unique<CoreAudioClient>(std::move(client), std::move(device), flow);
}

std::unique_ptr<platform::CaptureClient> make_capture_client(ComPtr<IAudioCaptureClient> reader) {
  return std::make_unique<CoreCaptureClient>(std::move(reader));
}

const WAVEFORMATEX* wave_format(const platform::MixFormat& format) {
  const auto* own = dynamic_cast<const CoreMixFormat*>(&format);
  return own == nullptr ? nullptr : own->get();
}

}  // namespace vorel::win32
