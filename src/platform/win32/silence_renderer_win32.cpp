#include "platform/win32/silence_renderer_win32.h"

#include "platform/win32/core_audio_win32.h"

namespace vorel::win32 {
namespace {

// One second, in 100-ns units: as long as the loopback stream's buffer.
constexpr REFERENCE_TIME kBufferDuration = 10'000'000;

}  // namespace

std::optional<SilenceRenderer> SilenceRenderer::open(ComPtr<IAudioClient> client,
                                                     const WAVEFORMATEX& format) {
  if (!client) return std::nullopt;
  if (failed_and_dropped(client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, kBufferDuration, 0,
                                            &format, nullptr))) {
    return std::nullopt;
  }
  UINT32 frames = 0;
  if (failed_and_dropped(client->GetBufferSize(&frames))) return std::nullopt;
  ComPtr<IAudioRenderClient> render;
  if (failed_and_dropped(client->GetService(kIidAudioRenderClient, render.put_void())) ||
      !render) {
    return std::nullopt;
  }
  // The flag tells the engine the data is silence; the bytes are not read.
  BYTE* data = nullptr;
  if (failed_and_dropped(render->GetBuffer(frames, &data))) return std::nullopt;
  if (failed_and_dropped(render->ReleaseBuffer(frames, AUDCLNT_BUFFERFLAGS_SILENT))) {
    return std::nullopt;
  }
  return SilenceRenderer(std::move(client), std::move(render));
}

std::optional<SilenceRenderer> SilenceRenderer::open_on(IMMDevice& device,
                                                        const WAVEFORMATEX& format) {
  ComPtr<IAudioClient> client;
  if (failed_and_dropped(device.Activate(kIidAudioClient, CLSCTX_ALL, nullptr,
                                         client.put_void()))) {
    return std::nullopt;
  }
  return open(std::move(client), format);
}

void SilenceRenderer::start() { (void)failed_and_dropped(client_->Start()); }

void SilenceRenderer::stop() { (void)failed_and_dropped(client_->Stop()); }

}  // namespace vorel::win32
