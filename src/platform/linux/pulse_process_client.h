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

#include <chrono>
#include <cstdint>
#include <memory>

#include "platform/audio_services.h"
#include "platform/linux/pulse_connection.h"
#include "platform/linux/pulse_process_server.h"
#include "util/clock.h"

namespace vorel::platform::pulse {

// A new sink input can report no sink for a moment: it is looked up again
// this often, this many times, before it is dropped until its next change.
inline constexpr std::chrono::milliseconds kSinkRetryInterval{20};
inline constexpr int kSinkRetries = 100;
// Processes that start and end between two sink inputs still link their
// descendants to the tree.
inline constexpr std::chrono::milliseconds kTreeRefreshInterval{500};
// A stream refused this often in a row, other than by its input going away,
// ends the recording.
inline constexpr int kMaxStreamFailures = 20;

// Not initialized yet; the connection is this client's alone. An id that no
// process has gives a client that records silence.
std::unique_ptr<AudioClient> make_process_loopback_client(
    std::shared_ptr<PulseConnection> connection, uint32_t process_id);

// The same over any server, paced by `clock` (which must outlive the client).
std::unique_ptr<AudioClient> make_process_loopback_client(std::shared_ptr<ProcessServer> server,
                                                          uint32_t process_id, Clock& clock);

}  // namespace vorel::platform::pulse
