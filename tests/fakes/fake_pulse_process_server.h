// A scripted sound server for the process-loopback client: sinks, sink
// inputs with their process ids, the process table, and what the server
// sends. As over a real connection, nothing the client sees changes between
// two dispatches: every change a test makes and every answer to the client's
// calls waits on the wire, in order, for the client's next dispatch.
#pragma once

#include <pulse/def.h>
#include <pulse/error.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/pulse_process_server.h"
#include "util/clock.h"

namespace vorel::testing {

using platform::pulse::ProcessEntry;
using platform::pulse::SinkInputEvent;
using platform::pulse::SinkInputFacts;

// Time moves only when the test moves it.
class ManualClock final : public Clock {
 public:
  time_point current{std::chrono::seconds(1000)};
  time_point now() override { return current; }
  void sleep_for(std::chrono::nanoseconds d) override { current += d; }
};

class FakeProcessServer final : public platform::pulse::ProcessServer {
 public:
  struct SinkInput {
    std::optional<uint32_t> pid;
    uint32_t sink = PA_INVALID_INDEX;
  };
  // A record stream the client connected.
  struct Opened {
    std::string source;
    uint32_t sink_input = PA_INVALID_INDEX;
    pa_stream_flags_t flags{};
    pa_buffer_attr attr{};
    pa_sample_spec format{};
  };

  // --- The server's world (what the answers are made of) ---
  std::map<uint32_t, std::string> sinks;  // index to the name of its monitor source
  std::map<uint32_t, SinkInput> inputs;
  std::vector<ProcessEntry> table;

  // --- Faults ---
  // Streams connected from now on fail with this error instead of starting,
  // as long as refusals_left lasts (negative: for ever).
  int refusals_left = 0;
  int refusal_error = PA_ERR_NOTSUPPORTED;
  bool refuse_queries = false;          // the library refuses to send a query
  bool refuse_connect = false;          // pa_stream_connect_record fails at once
  bool subscription_accepted = true;    // the server's answer to the subscription

  // --- What the client did ---
  std::vector<Opened> opened;
  std::vector<uint32_t> input_queries;  // sink input asked for, per query
  std::vector<uint32_t> sink_queries;
  int dispatches = 0;

  FakeProcessServer() {
    sinks[1] = "one.monitor";
    sinks[2] = "two.monitor";
    table.push_back({1, 0, 1});
  }

  // --- Scripting the world: each change reaches the client at its next dispatch ---
  void spawn(uint32_t pid, uint32_t parent) { table.push_back({pid, parent, ++ticks_}); }
  void add_input(uint32_t index, std::optional<uint32_t> pid, uint32_t sink) {
    inputs[index] = {pid, sink};
    announce(SinkInputEvent::kNew, index);
  }
  // The input got a sink or another one; its streams are killed when it moves.
  void set_sink(uint32_t index, uint32_t sink, bool announced = true) {
    inputs.at(index).sink = sink;
    kill_streams_of(index);
    if (announced) announce(SinkInputEvent::kChange, index);
  }
  void remove_input(uint32_t index) {
    inputs.erase(index);
    kill_streams_of(index);
    announce(SinkInputEvent::kRemove, index);
  }
  // The sink input plays: each recording stream restricted to it receives
  // the bytes as one fragment (null `data`: a hole of `size` bytes).
  void play(uint32_t index, const void* data, size_t size) {
    for (auto& weak : streams_) {
      auto s = weak.lock();
      if (!s || s->sink_input != index || s->gone) continue;
      std::vector<uint8_t> fragment;
      if (data != nullptr) {
        const auto* p = static_cast<const uint8_t*>(data);
        fragment.assign(p, p + size);
      }
      wire_.push_back([s, fragment = std::move(fragment), size, hole = data == nullptr] {
        if (s->state == PA_STREAM_READY) s->fragments.push_back({fragment, hole ? size : 0});
      });
    }
  }
  // The connection breaks: the next dispatch finds out.
  void die() {
    wire_.push_back([this] {
      connected_ = false;
      error_ = PA_ERR_CONNECTIONTERMINATED;
      for (auto& weak : streams_) {
        auto s = weak.lock();
        if (s && s->state != PA_STREAM_TERMINATED) s->state = PA_STREAM_FAILED;
      }
      for (auto& weak : queries_) {
        if (auto q = weak.lock()) q->running = false;  // cancelled, unanswered
      }
    });
  }
  // Streams that still follow a sink input (connected and not ended).
  int live_streams() const {
    int n = 0;
    for (auto& weak : streams_) {
      auto s = weak.lock();
      if (s && !s->gone && (s->state == PA_STREAM_READY || s->state == PA_STREAM_CREATING)) ++n;
    }
    return n;
  }
  bool has_listener() const { return listener_ != nullptr; }

  // --- ProcessServer ---
  bool ready() const override { return connected_; }
  int last_error() const override { return error_; }

  Status<PlatformError> dispatch_pending(std::string_view what) override {
    ++dispatches;
    // Work that a message queues goes out with the next dispatch.
    std::deque<std::function<void()>> now;
    now.swap(wire_);
    for (auto& message : now) message();
    if (!connected_) return Err(platform::pulse::connection_lost_error(what, error_));
    return Unit{};
  }

  void set_listener(platform::pulse::SinkInputListener* listener) override {
    listener_ = listener;
  }

  Result<bool, PlatformError> subscribe_sink_inputs(std::string_view what) override {
    if (!connected_) return Err(platform::pulse::connection_lost_error(what, error_));
    subscribed_ = subscription_accepted;
    flush_before_blocking_call();
    return subscription_accepted;
  }

  Status<PlatformError> list_sink_inputs(std::vector<SinkInputFacts>& out,
                                         std::string_view what) override {
    if (!connected_) return Err(platform::pulse::connection_lost_error(what, error_));
    // A blocking call dispatches what came before its answer.
    flush_before_blocking_call();
    for (const auto& [index, input] : inputs) out.push_back({index, input.pid, input.sink});
    return Unit{};
  }

  std::unique_ptr<platform::pulse::ServerQuery> query_sink_input(
      uint32_t index, std::optional<SinkInputFacts>& out) override {
    input_queries.push_back(index);
    auto* target = &out;
    return make_query([this, index, target] {
      auto found = inputs.find(index);
      if (found != inputs.end()) {
        *target = SinkInputFacts{index, found->second.pid, found->second.sink};
      }
    });
  }

  std::unique_ptr<platform::pulse::ServerQuery> query_sink_monitor(
      uint32_t sink, std::optional<std::string>& out) override {
    sink_queries.push_back(sink);
    auto* target = &out;
    return make_query([this, sink, target] {
      auto found = sinks.find(sink);
      if (found != sinks.end()) *target = found->second;
    });
  }

  std::unique_ptr<platform::pulse::RecordStream> new_stream(const char*,
                                                            const pa_sample_spec& format,
                                                            const pa_channel_map&) override {
    if (!connected_) return nullptr;
    auto state = std::make_shared<StreamState>();
    state->format = format;
    streams_.push_back(state);
    return std::make_unique<Stream>(*this, std::move(state));
  }

  std::vector<ProcessEntry> processes() override { return table; }

 private:
  struct StreamState {
    pa_sample_spec format{};
    uint32_t sink_input = PA_INVALID_INDEX;
    pa_stream_state_t state = PA_STREAM_UNCONNECTED;
    bool gone = false;  // the client let go of it
    struct Fragment {
      std::vector<uint8_t> bytes;
      size_t hole = 0;
    };
    std::deque<Fragment> fragments;
    bool peeked = false;
  };
  struct QueryState {
    bool running = true;
    bool cancelled = false;
  };

  class Query final : public platform::pulse::ServerQuery {
   public:
    explicit Query(std::shared_ptr<QueryState> state) : state_(std::move(state)) {}
    ~Query() override { state_->cancelled = true; }
    bool running() const override { return state_->running; }

   private:
    std::shared_ptr<QueryState> state_;
  };

  class Stream final : public platform::pulse::RecordStream {
   public:
    Stream(FakeProcessServer& server, std::shared_ptr<StreamState> state)
        : server_(server), s_(std::move(state)) {}
    ~Stream() override {
      s_->gone = true;
      if (s_->state == PA_STREAM_READY || s_->state == PA_STREAM_CREATING) {
        s_->state = PA_STREAM_TERMINATED;
      }
    }
    bool set_monitor_stream(uint32_t sink_input) override {
      s_->sink_input = sink_input;
      return true;
    }
    bool connect_record(const std::string& source, const pa_buffer_attr& attr,
                        pa_stream_flags_t flags) override {
      if (server_.refuse_connect) {
        server_.error_ = PA_ERR_INVALID;
        return false;
      }
      server_.opened.push_back({source, s_->sink_input, flags, attr, s_->format});
      s_->state = PA_STREAM_CREATING;
      const bool refused = server_.refusals_left != 0;
      if (server_.refusals_left > 0) --server_.refusals_left;
      server_.wire_.push_back([&server = server_, s = s_, source, refused] {
        if (s->state != PA_STREAM_CREATING) return;
        // The server starts it only on the monitor of the sink its input plays on.
        auto input = server.inputs.find(s->sink_input);
        auto sink = input == server.inputs.end() ? server.sinks.end()
                                                 : server.sinks.find(input->second.sink);
        if (refused || sink == server.sinks.end() || sink->second != source) {
          s->state = PA_STREAM_FAILED;
          server.error_ = refused ? server.refusal_error : PA_ERR_NOENTITY;
          return;
        }
        s->state = PA_STREAM_READY;
      });
      return true;
    }
    pa_stream_state_t state() const override { return s_->state; }
    bool peek(const void** data, size_t* size) override {
      if (s_->state != PA_STREAM_READY) return false;
      if (s_->fragments.empty()) {
        *data = nullptr;
        *size = 0;
        return true;
      }
      const auto& f = s_->fragments.front();
      *data = f.hole != 0 ? nullptr : f.bytes.data();
      *size = f.hole != 0 ? f.hole : f.bytes.size();
      s_->peeked = true;
      return true;
    }
    bool drop() override {
      if (!s_->peeked) return false;
      s_->peeked = false;
      s_->fragments.pop_front();
      return true;
    }

   private:
    FakeProcessServer& server_;
    std::shared_ptr<StreamState> s_;
  };

  std::unique_ptr<platform::pulse::ServerQuery> make_query(std::function<void()> answer) {
    if (refuse_queries || !connected_) {
      error_ = connected_ ? PA_ERR_INTERNAL : error_;
      return nullptr;
    }
    auto state = std::make_shared<QueryState>();
    queries_.push_back(state);
    wire_.push_back([state, answer = std::move(answer)] {
      if (state->cancelled || !state->running) return;
      answer();
      state->running = false;
    });
    return std::make_unique<Query>(std::move(state));
  }

  void announce(SinkInputEvent event, uint32_t index) {
    wire_.push_back([this, event, index] {
      if (subscribed_ && listener_ != nullptr) listener_->on_sink_input(event, index);
    });
  }

  void kill_streams_of(uint32_t index) {
    for (auto& weak : streams_) {
      auto s = weak.lock();
      if (!s || s->sink_input != index) continue;
      wire_.push_back([this, s] {
        if (s->state != PA_STREAM_READY && s->state != PA_STREAM_CREATING) return;
        s->state = PA_STREAM_FAILED;
        error_ = PA_ERR_KILLED;
      });
    }
  }

  void flush_before_blocking_call() {
    std::deque<std::function<void()>> now;
    now.swap(wire_);
    for (auto& message : now) message();
  }

  bool connected_ = true;
  int error_ = PA_OK;
  bool subscribed_ = false;
  uint64_t ticks_ = 1;
  platform::pulse::SinkInputListener* listener_ = nullptr;
  std::deque<std::function<void()>> wire_;
  std::vector<std::weak_ptr<StreamState>> streams_;
  std::vector<std::weak_ptr<QueryState>> queries_;
};

}  // namespace vorel::testing
