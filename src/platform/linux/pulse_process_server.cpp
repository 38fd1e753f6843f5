#include "platform/linux/pulse_process_server.h"

#include <pulse/introspect.h>
#include <pulse/proplist.h>
#include <pulse/stream.h>
#include <pulse/subscribe.h>

#include <charconv>
#include <utility>

namespace vorel::platform::pulse {
namespace {

std::optional<uint32_t> process_id_of(const pa_proplist* properties) {
  const char* text = pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_ID);
  if (text == nullptr) return std::nullopt;
  const std::string_view view(text);
  uint32_t pid = 0;
  auto [end, ec] = std::from_chars(view.data(), view.data() + view.size(), pid);
  if (ec != std::errc() || end != view.data() + view.size()) return std::nullopt;
  return pid;
}

SinkInputFacts facts_of(const pa_sink_input_info& info) {
  return SinkInputFacts{info.index, process_id_of(info.proplist), info.sink};
}

class Query final : public ServerQuery {
 public:
  explicit Query(OperationPtr op) : op_(std::move(op)) {}
  bool running() const override {
    return pa_operation_get_state(op_.get()) == PA_OPERATION_RUNNING;
  }

 private:
  OperationPtr op_;
};

std::unique_ptr<ServerQuery> query_of(pa_operation* op) {
  if (op == nullptr) return nullptr;
  return std::make_unique<Query>(OperationPtr(op));
}

class Stream final : public RecordStream {
 public:
  explicit Stream(StreamPtr stream) : stream_(std::move(stream)) {}
  bool set_monitor_stream(uint32_t sink_input) override {
    return pa_stream_set_monitor_stream(stream_.get(), sink_input) >= 0;
  }
  bool connect_record(const std::string& source, const pa_buffer_attr& attr,
                      pa_stream_flags_t flags) override {
    return pa_stream_connect_record(stream_.get(), source.c_str(), &attr, flags) >= 0;
  }
  pa_stream_state_t state() const override { return pa_stream_get_state(stream_.get()); }
  bool peek(const void** data, size_t* size) override {
    return pa_stream_peek(stream_.get(), data, size) >= 0;
  }
  bool drop() override { return pa_stream_drop(stream_.get()) >= 0; }

 private:
  StreamPtr stream_;
};

class LibpulseServer final : public ProcessServer {
 public:
  explicit LibpulseServer(std::shared_ptr<PulseConnection> connection)
      : connection_(std::move(connection)) {}
  LibpulseServer(const LibpulseServer&) = delete;
  LibpulseServer& operator=(const LibpulseServer&) = delete;
  // The context may outlive us in the connection's other owners.
  ~LibpulseServer() override { set_listener(nullptr); }

  bool ready() const override { return connection_->ready(); }
  int last_error() const override { return pa_context_errno(connection_->context()); }
  Status<PlatformError> dispatch_pending(std::string_view what) override {
    return connection_->dispatch_pending(what);
  }

  void set_listener(SinkInputListener* listener) override {
    listener_ = listener;
    pa_context_set_subscribe_callback(connection_->context(),
                                      listener != nullptr ? &LibpulseServer::on_event : nullptr,
                                      listener != nullptr ? this : nullptr);
  }

  Result<bool, PlatformError> subscribe_sink_inputs(std::string_view what) override {
    int ok = 0;
    auto done = connection_->complete(
        OperationPtr(pa_context_subscribe(connection_->context(), PA_SUBSCRIPTION_MASK_SINK_INPUT,
                                          &LibpulseServer::on_success, &ok)),
        what);
    if (!done) return Err(std::move(done).error());
    return ok != 0;
  }

  Status<PlatformError> list_sink_inputs(std::vector<SinkInputFacts>& out,
                                         std::string_view what) override {
    return connection_->complete(OperationPtr(pa_context_get_sink_input_info_list(
                                     connection_->context(), &LibpulseServer::on_listed, &out)),
                                 what);
  }

  std::unique_ptr<ServerQuery> query_sink_input(uint32_t index,
                                                std::optional<SinkInputFacts>& out) override {
    return query_of(pa_context_get_sink_input_info(connection_->context(), index,
                                                   &LibpulseServer::on_sink_input, &out));
  }

  std::unique_ptr<ServerQuery> query_sink_monitor(uint32_t sink,
                                                  std::optional<std::string>& out) override {
    return query_of(pa_context_get_sink_info_by_index(connection_->context(), sink,
                                                      &LibpulseServer::on_sink, &out));
  }

  std::unique_ptr<RecordStream> new_stream(const char* name, const pa_sample_spec& format,
                                           const pa_channel_map& map) override {
    StreamPtr stream(pa_stream_new(connection_->context(), name, &format, &map));
    if (!stream) return nullptr;
    return std::make_unique<Stream>(std::move(stream));
  }

  std::vector<ProcessEntry> processes() override { return read_process_table(); }

 private:
  static void on_event(pa_context*, pa_subscription_event_type_t type, uint32_t index,
                       void* userdata) {
    auto* self = static_cast<LibpulseServer*>(userdata);
    if (self->listener_ == nullptr) return;
    if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SINK_INPUT) return;
    switch (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) {
      case PA_SUBSCRIPTION_EVENT_NEW:
        self->listener_->on_sink_input(SinkInputEvent::kNew, index);
        break;
      case PA_SUBSCRIPTION_EVENT_REMOVE:
        self->listener_->on_sink_input(SinkInputEvent::kRemove, index);
        break;
      default:
        self->listener_->on_sink_input(SinkInputEvent::kChange, index);
        break;
    }
  }

  static void on_success(pa_context*, int success, void* userdata) {
    *static_cast<int*>(userdata) = success;
  }

  static void on_listed(pa_context*, const pa_sink_input_info* info, int eol, void* userdata) {
    if (eol != 0 || info == nullptr) return;
    static_cast<std::vector<SinkInputFacts>*>(userdata)->push_back(facts_of(*info));
  }

  static void on_sink_input(pa_context*, const pa_sink_input_info* info, int eol,
                            void* userdata) {
    if (eol != 0 || info == nullptr) return;  // the end, or no such input
    *static_cast<std::optional<SinkInputFacts>*>(userdata) = facts_of(*info);
  }

  static void on_sink(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
    if (eol != 0 || info == nullptr || info->monitor_source_name == nullptr) return;
    *static_cast<std::optional<std::string>*>(userdata) = info->monitor_source_name;
  }

  std::shared_ptr<PulseConnection> connection_;
  SinkInputListener* listener_ = nullptr;
};

}  // namespace

std::shared_ptr<ProcessServer> make_process_server(std::shared_ptr<PulseConnection> connection) {
  return std::make_shared<LibpulseServer>(std::move(connection));
}

}  // namespace vorel::platform::pulse
