// A process-loopback stream hands out no packets while the process plays
// nothing, and no endpoint is there to keep it running with silence. So that
// a recording still lasts as long as the time it covered, the gap is filled
// with silent packets measured on the monotonic clock.
#pragma once

#include <memory>

#include "platform/audio_services.h"
#include "util/clock.h"

namespace vorel {

// `client` with its packet reader filling gaps: from Start on, when the
// platform has no packet pending and the frames handed out fall behind the
// time elapsed by more than a packet's worth, the reader announces one
// silent packet of the missing frames (at most a second of them at a time).
// A packet's worth is the largest packet the platform delivered, and at
// least 10 ms (the shared-mode engine's period), so a packet that is merely
// on its way is not mistaken for a gap.
std::unique_ptr<platform::AudioClient> fill_silence_gaps(
    std::unique_ptr<platform::AudioClient> client, Clock& clock);

}  // namespace vorel
