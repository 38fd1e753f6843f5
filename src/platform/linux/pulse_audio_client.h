// The loopback audio client of one sink: a record stream on the sink's
// monitor source in the sink's own rate and channels (so the server never
// resamples or remixes), read through a capture client that hands out whole
// frames.
#pragma once

#include <memory>
#include <string>

#include "platform/audio_services.h"
#include "platform/linux/pulse_connection.h"

namespace vorel::platform::pulse {

std::unique_ptr<AudioClient> make_loopback_client(std::shared_ptr<PulseConnection> connection,
                                                  std::string sink_name);

}  // namespace vorel::platform::pulse
