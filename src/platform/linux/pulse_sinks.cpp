#include "platform/linux/pulse_sinks.h"

#include <pulse/def.h>
#include <pulse/introspect.h>

namespace vorel::platform::pulse {
namespace {

struct SinkQuery {
  std::vector<SinkSnapshot> sinks;
  int error = PA_OK;
};

void on_sink(pa_context* c, const pa_sink_info* info, int eol, void* userdata) {
  auto* query = static_cast<SinkQuery*>(userdata);
  if (eol < 0) {
    query->error = pa_context_errno(c);
    return;
  }
  if (eol > 0 || info == nullptr) return;
  SinkSnapshot s;
  s.name = info->name != nullptr ? info->name : "";
  if (info->description != nullptr) s.description = info->description;
  s.monitor_source = info->monitor_source_name != nullptr ? info->monitor_source_name : "";
  s.sample_format = info->sample_spec;
  s.channel_map = info->channel_map;
  query->sinks.push_back(std::move(s));
}

struct ServerQuery {
  std::optional<std::string> default_sink;
};

void on_server(pa_context*, const pa_server_info* info, void* userdata) {
  auto* query = static_cast<ServerQuery*>(userdata);
  if (info != nullptr && info->default_sink_name != nullptr) {
    query->default_sink = info->default_sink_name;
  }
}

}  // namespace

Result<std::string, PlatformError> query_default_sink_name(PulseConnection& connection) {
  constexpr std::string_view kWhat = "Reading the sound server's default sink";
  ServerQuery query;
  auto done = connection.complete(
      OperationPtr(pa_context_get_server_info(connection.context(), on_server, &query)), kWhat);
  if (!done) return Err(std::move(done).error());
  if (!query.default_sink || query.default_sink->empty()) {
    return Err(error_with_text(kErrorNotFound, kWhat, "the server has no default sink"));
  }
  return std::move(*query.default_sink);
}

Result<std::optional<SinkSnapshot>, PlatformError> query_sink(PulseConnection& connection,
                                                              const std::string& name) {
  constexpr std::string_view kWhat = "Reading a sink's description";
  SinkQuery query;
  auto done = connection.complete(OperationPtr(pa_context_get_sink_info_by_name(
                                      connection.context(), name.c_str(), on_sink, &query)),
                                  kWhat);
  if (!done) return Err(std::move(done).error());
  if (query.error == PA_ERR_NOENTITY) return std::optional<SinkSnapshot>();
  if (query.error != PA_OK) return Err(pulse_error(kEFail, kWhat, query.error));
  if (query.sinks.empty()) return std::optional<SinkSnapshot>();
  return std::optional<SinkSnapshot>(std::move(query.sinks.front()));
}

Result<std::vector<SinkSnapshot>, PlatformError> query_sinks(PulseConnection& connection) {
  constexpr std::string_view kWhat = "Listing the sound server's sinks";
  SinkQuery query;
  auto done = connection.complete(
      OperationPtr(pa_context_get_sink_info_list(connection.context(), on_sink, &query)), kWhat);
  if (!done) return Err(std::move(done).error());
  if (query.error != PA_OK) return Err(pulse_error(kEFail, kWhat, query.error));
  return std::move(query.sinks);
}

}  // namespace vorel::platform::pulse
