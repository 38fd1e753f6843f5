// What the process-loopback client asks of the sound server, at the grain of
// the libpulse calls it makes: sink-input and sink introspection, the
// sink-input subscription, record streams restricted to one sink input, and
// the connection's state. The client's state machine talks only to this, so
// it can be driven by a scripted server in tests; the libpulse implementation
// only translates calls and callbacks.
#pragma once

#include <pulse/channelmap.h>
#include <pulse/def.h>
#include <pulse/sample.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "errors/platform_error.h"
#include "platform/linux/pulse_connection.h"
#include "platform/linux/pulse_process_tree.h"
#include "util/result.h"

namespace vorel::platform::pulse {

// What the server said about one sink input.
struct SinkInputFacts {
  uint32_t index = PA_INVALID_INDEX;
  std::optional<uint32_t> pid;       // application.process.id, when it is a number
  uint32_t sink = PA_INVALID_INDEX;  // PA_INVALID_INDEX while it has none
};

// A query in flight (pa_operation). Letting go of it cancels it, so its
// result is never written after that.
class ServerQuery {
 public:
  virtual ~ServerQuery() = default;
  virtual bool running() const = 0;
};

// A record stream (pa_stream); letting go of it disconnects it.
class RecordStream {
 public:
  virtual ~RecordStream() = default;
  // pa_stream_set_monitor_stream; false when refused.
  virtual bool set_monitor_stream(uint32_t sink_input) = 0;
  // pa_stream_connect_record; false when refused.
  virtual bool connect_record(const std::string& source, const pa_buffer_attr& attr,
                              pa_stream_flags_t flags) = 0;
  virtual pa_stream_state_t state() const = 0;
  // pa_stream_peek: the next fragment, size 0 when none; null data with a
  // size is a hole. False when refused.
  virtual bool peek(const void** data, size_t* size) = 0;
  // pa_stream_drop of the fragment peeked last; false when refused.
  virtual bool drop() = 0;
};

enum class SinkInputEvent { kNew, kChange, kRemove };

// Receives the sink-input events of the subscription while the server's
// messages are dispatched.
class SinkInputListener {
 public:
  virtual void on_sink_input(SinkInputEvent event, uint32_t index) = 0;

 protected:
  ~SinkInputListener() = default;
};

class ProcessServer {
 public:
  virtual ~ProcessServer() = default;

  // pa_context_get_state is READY.
  virtual bool ready() const = 0;
  // pa_context_errno.
  virtual int last_error() const = 0;
  // Handles whatever has arrived without blocking; results of queries,
  // stream states, fragments and events change only here.
  virtual Status<PlatformError> dispatch_pending(std::string_view what) = 0;

  // Where sink-input events go; null stops them.
  virtual void set_listener(SinkInputListener* listener) = 0;
  // pa_context_subscribe to sink inputs, waited for; the value is the
  // server's success flag.
  virtual Result<bool, PlatformError> subscribe_sink_inputs(std::string_view what) = 0;
  // pa_context_get_sink_input_info_list, waited for.
  virtual Status<PlatformError> list_sink_inputs(std::vector<SinkInputFacts>& out,
                                                 std::string_view what) = 0;
  // pa_context_get_sink_input_info: `out` is set when the server knows the
  // input. Null when the library refused the call.
  virtual std::unique_ptr<ServerQuery> query_sink_input(uint32_t index,
                                                        std::optional<SinkInputFacts>& out) = 0;
  // pa_context_get_sink_info_by_index: `out` is set to the sink's monitor
  // source when the server knows the sink. Null when refused.
  virtual std::unique_ptr<ServerQuery> query_sink_monitor(uint32_t sink,
                                                          std::optional<std::string>& out) = 0;
  // pa_stream_new; null when refused.
  virtual std::unique_ptr<RecordStream> new_stream(const char* name, const pa_sample_spec& format,
                                                   const pa_channel_map& map) = 0;

  // The processes the system runs now (which process a sink input's
  // process id names is decided against them).
  virtual std::vector<ProcessEntry> processes() = 0;
};

// The server behind `connection`, and /proc.
std::shared_ptr<ProcessServer> make_process_server(std::shared_ptr<PulseConnection> connection);

}  // namespace vorel::platform::pulse
