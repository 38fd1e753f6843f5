#include "platform/linux/pulse_process_client.h"

#include <pulse/channelmap.h>
#include <pulse/def.h>
#include <pulse/error.h>
#include <pulse/sample.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/pulse_process_mixer.h"
#include "platform/linux/pulse_process_tree.h"
#include "platform/system_clock.h"
#include "platform/linux/pulse_stream_client.h"

namespace vorel::platform::pulse {
namespace {

using TimePoint = Clock::time_point;
using std::chrono::milliseconds;

constexpr int32_t kENotImpl = static_cast<int32_t>(0x80004001u);

constexpr char kStreamName[] = "vorel process loopback";

// Packets of the shared-mode engine's period.
constexpr uint32_t kPacketsPerSecond = 100;
// Time the record streams have to deliver before their frames are due; the
// streams of one process arrive in bursts of a few milliseconds.
constexpr uint32_t kLatencyMs = 40;
// How far a stream's audio may run ahead of the clock before it is cut.
constexpr uint32_t kMaxAheadMs = 500;

constexpr pa_usec_t kFragmentUsec = 10'000;
constexpr pa_usec_t kQueueUsec = 1'000'000;
// Tied to one sink input: when it ends or moves, the server kills the
// stream and the client finds the input again.
constexpr auto kStreamFlags =
    static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);

uint32_t frames_in(uint32_t rate, uint32_t ms) {
  return static_cast<uint32_t>(uint64_t{rate} * ms / 1000);
}

PlatformError client_error(int32_t code, std::string_view detail) {
  return error_with_text(code, "Audio client", detail);
}

// One sink input of the tree and the record stream that follows it.
struct Input {
  enum class Phase { kInfo, kSink, kWait, kOpen, kRecord };

  explicit Input(uint32_t i) : index(i) {}

  uint32_t index;
  Phase phase = Phase::kInfo;
  // Filled by the running query.
  std::optional<SinkInputFacts> facts;
  std::optional<std::string> monitor;
  int sink_retries = 0;
  int failures = 0;
  TimePoint retry_at{};
  ClockedMixer::Cursor cursor;
  std::vector<uint8_t> carry;  // a partial frame
  std::unique_ptr<RecordStream> stream;
  std::unique_ptr<ServerQuery> query;  // declared last: a query made after the stream goes first
};

// The recording itself, shared by the audio client and its capture client.
class ProcessCapture final : SinkInputListener {
 public:
  ProcessCapture(std::shared_ptr<ProcessServer> server, Clock& clock, uint32_t process_id,
                 const pa_sample_spec& format)
      : server_(std::move(server)),
        clock_(clock),
        tree_(process_id),
        what_("Recording process " + std::to_string(process_id)),
        format_(format),
        frame_bytes_(pa_frame_size(&format)),
        mixer_(format.channels, std::max<uint32_t>(format.rate / kPacketsPerSecond, 1),
               frames_in(format.rate, kLatencyMs), frames_in(format.rate, kMaxAheadMs)) {
    // Windows' order of channels for the count, as an extensible mix format
    // of that many channels has it.
    pa_channel_map_init_extend(&channel_map_, format.channels, PA_CHANNEL_MAP_WAVEEX);
    attr_.maxlength = static_cast<uint32_t>(pa_usec_to_bytes(kQueueUsec, &format_));
    attr_.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(kFragmentUsec, &format_));
    attr_.tlength = attr_.prebuf = attr_.minreq = static_cast<uint32_t>(-1);
  }

  ProcessCapture(const ProcessCapture&) = delete;
  ProcessCapture& operator=(const ProcessCapture&) = delete;

  // The server is shared with the audio client, which may outlive us.
  ~ProcessCapture() { server_->set_listener(nullptr); }

  Status<PlatformError> start() {
    if (running_) return Err(client_error(kNotStopped, "the stream is already running"));
    if (!subscribed_) {
      server_->set_listener(this);
      auto ok = server_->subscribe_sink_inputs(what_);
      if (!ok) return Err(std::move(ok).error());
      if (!*ok) return Err(refused(kEFail));
      subscribed_ = true;
    }
    // Events count from here, so an input that appears during the listing
    // is not missed (one reported twice is taken once).
    running_ = true;
    refresh_tree();
    std::vector<SinkInputFacts> listed;
    auto done = server_->list_sink_inputs(listed, what_);
    if (!done) {
      stop_streams();
      return done;
    }
    const auto now = clock_.now();
    refresh_at_ = now + kTreeRefreshInterval;
    for (const SinkInputFacts& facts : listed) {
      auto [it, added] = inputs_.emplace(facts.index, std::make_unique<Input>(facts.index));
      if (!added) continue;
      it->second->facts = facts;
      auto kept = after_info(*it->second, now);
      if (!kept) {
        stop_streams();
        return Err(std::move(kept).error());
      }
      if (!*kept) inputs_.erase(it);
    }
    // Without a reset in between, the stream goes on where it stopped.
    started_at_ = clock_.now();
    resumed_at_ = mixer_.handed_out();
    due_ = resumed_at_;
    return Unit{};
  }

  Status<PlatformError> stop() {
    stop_streams();
    return Unit{};
  }

  Status<PlatformError> reset() {
    if (running_) return Err(client_error(kNotStopped, "the stream is running"));
    if (held_) return Err(client_error(kBufferOperationPending, "a packet is still held"));
    mixer_.reset();
    due_ = 0;
    return Unit{};
  }

  Result<uint32_t, PlatformError> next_packet_size() {
    if (!running_) return uint32_t{0};
    if (held_) return mixer_.packet_frames();
    auto pumped = pump();
    if (!pumped) return Err(std::move(pumped).error());
    return mixer_.next_size(due_);
  }

  Result<Packet, PlatformError> get_buffer() {
    if (held_) {
      return Err(client_error(kOutOfOrder, "the previous packet has not been released"));
    }
    if (!running_ || mixer_.next_size(due_) == 0) return Packet{};
    held_ = true;
    return Packet{mixer_.packet(), mixer_.packet_frames(), 0};
  }

  Status<PlatformError> release_buffer(uint32_t frames) {
    if (!held_) {
      if (frames == 0) return Unit{};
      return Err(client_error(kOutOfOrder, "no packet is held"));
    }
    if (frames != 0 && frames != mixer_.packet_frames()) {
      return Err(client_error(kInvalidSize, "a packet is released whole or not at all"));
    }
    held_ = false;
    if (frames != 0) mixer_.consume();
    return Unit{};
  }

 private:
  struct Event {
    uint32_t index;
    SinkInputEvent type;
  };

  void on_sink_input(SinkInputEvent type, uint32_t index) override {
    if (!running_) return;
    events_.push_back({index, type});
  }

  // The error for a connection that is no longer ready.
  PlatformError lost() const { return connection_lost_error(what_, server_->last_error()); }
  // The error for a call the library refused: the server's last error, or
  // `lost` when the connection died.
  PlatformError refused(int32_t code) const {
    if (!server_->ready()) return lost();
    return pulse_error(code, what_, server_->last_error());
  }

  void refresh_tree() { tree_.update(server_->processes()); }

  void stop_streams() {
    running_ = false;
    inputs_.clear();
    foreign_.clear();
    events_.clear();
  }

  // Frames due at `now`, counted from the last start.
  uint64_t frames_due(TimePoint now) const {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - started_at_).count();
    if (ns <= 0) return 0;
    const auto elapsed = static_cast<uint64_t>(ns);
    constexpr uint64_t kNsPerSec = 1'000'000'000;
    return elapsed / kNsPerSec * format_.rate + elapsed % kNsPerSec * format_.rate / kNsPerSec;
  }

  // Handles what the server sent, reads every stream and moves each input
  // on; called on every packet-size query, never blocking.
  Status<PlatformError> pump() {
    auto pumped = server_->dispatch_pending(what_);
    if (!pumped) return pumped;
    const auto now = clock_.now();
    due_ = std::max(due_, resumed_at_ + frames_due(now));
    if (now >= refresh_at_) {
      refresh_tree();
      refresh_at_ = now + kTreeRefreshInterval;
    }
    for (const Event& e : events_) {
      if (e.type == SinkInputEvent::kRemove) {
        inputs_.erase(e.index);
        foreign_.erase(e.index);
        continue;
      }
      if (foreign_.count(e.index) != 0) continue;  // its process never changes
      auto found = inputs_.find(e.index);
      if (found != inputs_.end()) {
        // A sink input waiting for its sink may have got one.
        if (found->second->phase == Input::Phase::kWait) found->second->retry_at = now;
        continue;
      }
      auto it = inputs_.emplace(e.index, std::make_unique<Input>(e.index)).first;
      auto queried = query_info(*it->second);
      if (!queried) return queried;
    }
    events_.clear();
    for (auto it = inputs_.begin(); it != inputs_.end();) {
      auto kept = step(*it->second, now);
      if (!kept) return Err(std::move(kept).error());
      it = *kept ? std::next(it) : inputs_.erase(it);
    }
    return Unit{};
  }

  // Moves one input on; false when it is no longer followed.
  Result<bool, PlatformError> step(Input& in, TimePoint now) {
    switch (in.phase) {
      case Input::Phase::kInfo:
        if (in.query->running()) return true;
        in.query.reset();
        return after_info(in, now);
      case Input::Phase::kSink:
        if (in.query->running()) return true;
        in.query.reset();
        return after_sink(in);
      case Input::Phase::kWait:
        if (now < in.retry_at) return true;
        return still_followed(query_info(in));
      case Input::Phase::kOpen:
      case Input::Phase::kRecord:
        return read(in);
    }
    return true;
  }

  static Result<bool, PlatformError> still_followed(Status<PlatformError> status) {
    if (!status) return Err(std::move(status).error());
    return true;
  }

  bool in_tree(uint32_t pid) {
    if (tree_.contains(pid)) return true;
    refresh_tree();  // a child that started since the last walk
    return tree_.contains(pid);
  }

  Result<bool, PlatformError> after_info(Input& in, TimePoint now) {
    if (!in.facts) return false;  // gone
    if (!in.facts->pid || !in_tree(*in.facts->pid)) {
      foreign_.insert(in.index);
      return false;
    }
    if (in.facts->sink == PA_INVALID_INDEX) {
      // An input dropped after its retries comes back with its next change.
      if (++in.sink_retries > kSinkRetries) return false;
      in.phase = Input::Phase::kWait;
      in.retry_at = now + kSinkRetryInterval;
      return true;
    }
    in.monitor.reset();
    in.query = server_->query_sink_monitor(in.facts->sink, in.monitor);
    if (!in.query) return Err(refused(kEFail));
    in.phase = Input::Phase::kSink;
    return true;
  }

  Result<bool, PlatformError> after_sink(Input& in) {
    if (!in.monitor) {
      // The sink went away: the input has moved or ends.
      if (++in.sink_retries > kSinkRetries) return false;
      return still_followed(query_info(in));
    }
    auto stream = server_->new_stream(kStreamName, format_, channel_map_);
    if (!stream) return Err(refused(kUnsupportedFormat));
    if (!stream->set_monitor_stream(in.index) ||
        !stream->connect_record(*in.monitor, attr_, kStreamFlags)) {
      return Err(refused(kDeviceInvalidated));
    }
    in.stream = std::move(stream);
    in.cursor = {};
    in.carry.clear();
    in.sink_retries = 0;
    in.phase = Input::Phase::kOpen;
    return true;
  }

  Status<PlatformError> query_info(Input& in) {
    in.facts.reset();
    in.query = server_->query_sink_input(in.index, in.facts);
    if (!in.query) return Err(refused(kEFail));
    in.phase = Input::Phase::kInfo;
    return Unit{};
  }

  Result<bool, PlatformError> read(Input& in) {
    RecordStream& s = *in.stream;
    const pa_stream_state_t state = s.state();
    if (state == PA_STREAM_CREATING) return true;
    if (state != PA_STREAM_READY) return failed(in);
    in.phase = Input::Phase::kRecord;
    for (;;) {
      const void* data = nullptr;
      size_t size = 0;
      if (!s.peek(&data, &size)) return failed(in);
      if (size == 0) return true;
      mix(in, static_cast<const uint8_t*>(data), size);
      if (!s.drop()) return failed(in);
      in.failures = 0;
    }
  }

  // The server cuts fragments anywhere; a partial frame waits for the rest.
  void mix(Input& in, const uint8_t* data, size_t size) {
    if (in.carry.empty() && size % frame_bytes_ == 0) {
      mixer_.add(in.cursor, data, size / frame_bytes_, due_);
      return;
    }
    if (data == nullptr) {
      in.carry.insert(in.carry.end(), size, uint8_t{0});
    } else {
      in.carry.insert(in.carry.end(), data, data + size);
    }
    const size_t frames = in.carry.size() / frame_bytes_;
    mixer_.add(in.cursor, in.carry.data(), frames, due_);
    const auto used = static_cast<std::ptrdiff_t>(frames * frame_bytes_);
    in.carry.erase(in.carry.begin(), in.carry.begin() + used);
  }

  // The stream ended. Its input was removed or moved to another sink (the
  // server kills the stream then) or it refused us: look the input up again.
  Result<bool, PlatformError> failed(Input& in) {
    if (!server_->ready()) return Err(lost());
    const int error = server_->last_error();
    in.stream.reset();
    in.carry.clear();
    in.cursor = {};
    if (error != PA_ERR_KILLED && error != PA_ERR_NOENTITY && ++in.failures > kMaxStreamFailures) {
      return Err(pulse_error(kDeviceInvalidated, what_, error));
    }
    return still_followed(query_info(in));
  }

  // Declared first so that every stream and query goes before it.
  std::shared_ptr<ProcessServer> server_;
  Clock& clock_;
  ProcessTree tree_;
  std::string what_;
  pa_sample_spec format_;
  pa_channel_map channel_map_{};
  pa_buffer_attr attr_{};
  size_t frame_bytes_;
  ClockedMixer mixer_;
  bool subscribed_ = false;
  bool running_ = false;
  bool held_ = false;
  TimePoint started_at_{};
  TimePoint refresh_at_{};
  uint64_t resumed_at_ = 0;  // frames handed out before the last start
  uint64_t due_ = 0;
  std::vector<Event> events_;
  std::set<uint32_t> foreign_;  // sink inputs of other processes
  std::map<uint32_t, std::unique_ptr<Input>> inputs_;
};

class ProcessLoopbackClient final : public StreamAudioClient<ProcessCapture> {
 public:
  ProcessLoopbackClient(std::shared_ptr<ProcessServer> server, uint32_t process_id, Clock& clock)
      : server_(std::move(server)), process_id_(process_id), clock_(clock) {}

  // Like Windows' process-loopback client, it has no format of its own: the
  // caller brings the default endpoint's.
  Result<std::unique_ptr<MixFormat>, PlatformError> get_mix_format() override {
    return Err(client_error(kENotImpl, "a process-loopback client has no mix format"));
  }

  Status<PlatformError> initialize_loopback(const MixFormat& format) override {
    if (initialized()) {
      return Err(client_error(kAlreadyInitialized, "the stream is set up already"));
    }
    // Mixing is done in float; the mix formats of this backend are float.
    if (format.bits_per_sample() != 32) {
      return Err(client_error(kUnsupportedFormat,
                              "only 32-bit float samples can be recorded per process"));
    }
    pa_sample_spec sample_format{};
    sample_format.format = PA_SAMPLE_FLOAT32LE;
    sample_format.rate = format.samples_per_sec();
    sample_format.channels = static_cast<uint8_t>(format.channels());
    if (format.channels() > PA_CHANNELS_MAX || !pa_sample_spec_valid(&sample_format)) {
      return Err(client_error(kUnsupportedFormat,
                              "the sound server cannot record this rate or channel count"));
    }
    if (!server_->ready()) return Err(connection_lost_error("Audio client", server_->last_error()));
    set_stream(std::make_shared<ProcessCapture>(server_, clock_, process_id_, sample_format),
               sample_format.rate);
    return Unit{};
  }

 private:
  std::shared_ptr<ProcessServer> server_;
  uint32_t process_id_;
  Clock& clock_;
};

}  // namespace

std::unique_ptr<AudioClient> make_process_loopback_client(std::shared_ptr<ProcessServer> server,
                                                          uint32_t process_id, Clock& clock) {
  return std::make_unique<ProcessLoopbackClient>(std::move(server), process_id, clock);
}

std::unique_ptr<AudioClient> make_process_loopback_client(
    std::shared_ptr<PulseConnection> connection, uint32_t process_id) {
  return make_process_loopback_client(make_process_server(std::move(connection)), process_id,
                                      system_clock());
}

}  // namespace vorel::platform::pulse
