// The process-loopback audio client: records only what one process and its
// descendants play.
//
// The server knows which process opened each playback stream (a sink
// input's application.process.id). Every sink input of the tree gets a
// record stream of its own on its sink's monitor, restricted to that input,
// in the client's format (the server converts); the streams are mixed and
// handed out at the pace of the monotonic clock, silence included, so a
// recording lasts as long as the time it covered. Sink inputs that appear
// later, or move to another sink, are followed.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/audio_services.h"
#include "platform/linux/pulse_connection.h"

namespace vorel::platform::pulse {

// Not initialized yet; the connection is this client's alone. An id that no
// process has gives a client that records silence.
std::unique_ptr<AudioClient> make_process_loopback_client(
    std::shared_ptr<PulseConnection> connection, uint32_t process_id);

}  // namespace vorel::platform::pulse
