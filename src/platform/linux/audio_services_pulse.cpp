// Audio services on a PulseAudio server (or pipewire-pulse).
//
// An endpoint is a sink: its id is the sink's name, its friendly name the
// sink's description, and the default endpoint is the server's default sink.
// Loopback recording reads the sink's monitor source (pulse_audio_client.h);
// process loopback records the sink inputs of one process tree
// (pulse_process_client.h).
//
// A session has no apartment to join; each device enumerator is a
// connection of its own to the server, made on the calling thread and
// driven only by it. Everything handed out shares that connection, which
// goes away with the last of them.
#include <string>
#include <utility>
#include <vector>

#include "platform/audio_services.h"
#include "platform/errors.h"
#include "platform/linux/pulse_audio_client.h"
#include "platform/linux/pulse_connection.h"
#include "platform/linux/pulse_process_client.h"
#include "platform/linux/pulse_sinks.h"
#include "util/text.h"

namespace vorel::platform {
namespace {

using pulse::PulseConnection;
using pulse::SinkSnapshot;

class PulseEndpoint final : public Endpoint {
 public:
  PulseEndpoint(std::shared_ptr<PulseConnection> connection, SinkSnapshot sink)
      : connection_(std::move(connection)), sink_(std::move(sink)) {}

  // The client checks for the sink when it is first used, as the format is
  // read from the server then anyway.
  Result<std::unique_ptr<AudioClient>, PlatformError> activate_audio_client() override {
    return pulse::make_loopback_client(connection_, sink_.name);
  }

  Result<std::u16string, PlatformError> get_id() override {
    return utf8_to_utf16_lossy(sink_.name);
  }

  std::optional<std::u16string> friendly_name() override {
    if (!sink_.description) return std::nullopt;
    return utf8_to_utf16_lossy(*sink_.description);
  }

 private:
  std::shared_ptr<PulseConnection> connection_;
  SinkSnapshot sink_;
};

// The sinks as they were when the collection was made.
class PulseEndpointCollection final : public EndpointCollection {
 public:
  PulseEndpointCollection(std::shared_ptr<PulseConnection> connection,
                          std::vector<SinkSnapshot> sinks)
      : connection_(std::move(connection)), sinks_(std::move(sinks)) {}

  Result<uint32_t, PlatformError> count() override {
    return static_cast<uint32_t>(sinks_.size());
  }

  Result<std::unique_ptr<Endpoint>, PlatformError> item(uint32_t index) override {
    if (index >= sinks_.size()) {
      return Err(pulse::error_with_text(pulse::kEInvalidArg, "Endpoint collection",
                                        "index " + std::to_string(index) + " is out of range"));
    }
    return std::unique_ptr<Endpoint>(std::make_unique<PulseEndpoint>(connection_, sinks_[index]));
  }

 private:
  std::shared_ptr<PulseConnection> connection_;
  std::vector<SinkSnapshot> sinks_;
};

class PulseDeviceEnumerator final : public DeviceEnumerator {
 public:
  explicit PulseDeviceEnumerator(std::shared_ptr<PulseConnection> connection)
      : connection_(std::move(connection)) {}

  Result<std::unique_ptr<Endpoint>, PlatformError> default_render_endpoint() override {
    auto name = pulse::query_default_sink_name(*connection_);
    if (!name) return Err(std::move(name).error());
    auto sink = pulse::query_sink(*connection_, *name);
    if (!sink) return Err(std::move(sink).error());
    if (!*sink) {
      return Err(pulse::error_with_text(pulse::kErrorNotFound, "Default sink \"" + *name + "\"",
                                        "no such sink"));
    }
    return std::unique_ptr<Endpoint>(
        std::make_unique<PulseEndpoint>(connection_, std::move(**sink)));
  }

  Result<std::unique_ptr<EndpointCollection>, PlatformError> active_render_endpoints() override {
    auto sinks = pulse::query_sinks(*connection_);
    if (!sinks) return Err(std::move(sinks).error());
    return std::unique_ptr<EndpointCollection>(
        std::make_unique<PulseEndpointCollection>(connection_, std::move(sinks).value()));
  }

 private:
  std::shared_ptr<PulseConnection> connection_;
};

class PulseAudioServices final : public AudioServices {
 public:
  Result<std::unique_ptr<DeviceEnumerator>, PlatformError> create_device_enumerator() override {
    auto connection = PulseConnection::open();
    if (!connection) return Err(std::move(connection).error());
    return std::unique_ptr<DeviceEnumerator>(
        std::make_unique<PulseDeviceEnumerator>(std::move(connection).value()));
  }

  // Like Windows, activation does not check that the process exists: an id
  // without a process records silence.
  Result<std::unique_ptr<AudioClient>, std::string> activate_process_loopback(
      uint32_t process_id) override {
    auto connection = PulseConnection::open();
    if (!connection) {
      return Err("Process loopback activation failed: " + platform::render(connection.error()));
    }
    return pulse::make_process_loopback_client(std::move(connection).value(), process_id);
  }
};

}  // namespace

std::unique_ptr<AudioServices> open_audio_services() {
  return std::make_unique<PulseAudioServices>();
}

}  // namespace vorel::platform
