// What the server says about its sinks (its output devices), copied out of
// the callbacks so it outlives them.
#pragma once

#include <pulse/channelmap.h>
#include <pulse/sample.h>

#include <optional>
#include <string>
#include <vector>

#include "errors/platform_error.h"
#include "platform/linux/pulse_connection.h"
#include "util/result.h"

namespace vorel::platform::pulse {

struct SinkSnapshot {
  std::string name;
  std::optional<std::string> description;
  std::string monitor_source;
  pa_sample_spec sample_format{};
  pa_channel_map channel_map{};
};

// The default sink's name; ERROR_NOT_FOUND when the server has none.
Result<std::string, PlatformError> query_default_sink_name(PulseConnection& connection);

// The sink called `name`; nullopt when the server has no such sink.
Result<std::optional<SinkSnapshot>, PlatformError> query_sink(PulseConnection& connection,
                                                              const std::string& name);

// Every sink, in the server's order.
Result<std::vector<SinkSnapshot>, PlatformError> query_sinks(PulseConnection& connection);

}  // namespace vorel::platform::pulse
