// Silence played on a render endpoint while its loopback stream records.
// Loopback hands out packets only while something plays, so without it a
// recording of a quiet machine comes out shorter than the time it covered.
#pragma once

#include <optional>
#include <utility>

#include "platform/win32/compat.h"
#include "platform/win32/scoped.h"

namespace vorel::win32 {

// Nothing it does can fail a recording: a step that fails leaves the
// recording without it.
class SilenceRenderer {
 public:
  // A shared-mode render stream on `client` (not yet initialized) in
  // `format`, its whole buffer queued as silence; nullopt when a step fails.
  static std::optional<SilenceRenderer> open(ComPtr<IAudioClient> client,
                                             const WAVEFORMATEX& format);
  // The same on a render client activated on `device`.
  static std::optional<SilenceRenderer> open_on(IMMDevice& device, const WAVEFORMATEX& format);

  SilenceRenderer(SilenceRenderer&&) noexcept = default;
  // Assignment would release the old client before its render service.
  SilenceRenderer& operator=(SilenceRenderer&&) = delete;

  // The buffer is queued once: when it has played, the stream runs dry but
  // stays started, and a started stream is what keeps the endpoint's engine
  // (and so the loopback stream) running.
  void start();
  void stop();

 private:
  SilenceRenderer(ComPtr<IAudioClient> client, ComPtr<IAudioRenderClient> render)
      : client_(std::move(client)), render_(std::move(render)) {}

  ComPtr<IAudioClient> client_;
  ComPtr<IAudioRenderClient> render_;  // released before its client
};

}  // namespace vorel::win32
