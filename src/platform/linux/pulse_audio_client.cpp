#include "platform/linux/pulse_audio_client.h"

#include <pulse/channelmap.h>
#include <pulse/def.h>
#include <pulse/sample.h>
#include <pulse/stream.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <utility>
#include <vector>

#include "platform/linux/pulse_packet_assembler.h"
#include "platform/linux/pulse_sinks.h"
#include "platform/linux/pulse_stream_client.h"
#include "platform/linux/pulse_wall_clock_start.h"

namespace vorel::platform::pulse {
namespace {

constexpr char kStreamName[] = "vorel loopback";

// The server delivers roughly this much per fragment once it adjusted its
// latency to our request.
constexpr pa_usec_t kFragmentUsec = 10'000;
// The queue a client that stops reading may fill before the server drops.
constexpr pa_usec_t kQueueUsec = 1'000'000;

// The stream is tied to its source: when the sink goes away the server must
// kill the stream, never move it to another device unnoticed.
constexpr auto kStreamFlags =
    static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);

// Mix formats are always 32-bit float, like a Windows shared-mode mix.
class PulseMixFormat final : public MixFormat {
 public:
  PulseMixFormat(uint32_t rate, uint16_t channels) : rate_(rate), channels_(channels) {}
  uint32_t samples_per_sec() const override { return rate_; }
  uint16_t channels() const override { return channels_; }
  uint16_t bits_per_sample() const override { return 32; }

 private:
  uint32_t rate_;
  uint16_t channels_;
};

PlatformError out_of_order(int32_t code, std::string_view detail) {
  return error_with_text(code, "Audio client", detail);
}

PlatformError sink_gone(const std::string& sink) {
  return error_with_text(kDeviceInvalidated, "Sink \"" + sink + "\"", "it no longer exists");
}

void on_success(pa_stream*, int success, void* userdata) { *static_cast<int*>(userdata) = success; }

// The record stream shared by the audio client that made it and the capture
// client that reads it, so either may be released first. Its packets start
// with the silence that keeps the recording on the wall clock
// (pulse_wall_clock_start.h).
class MonitorStream final : public FragmentSource {
 public:
  MonitorStream(std::shared_ptr<PulseConnection> connection, StreamPtr stream,
                const std::string& source, const pa_buffer_attr& attr, uint32_t rate,
                size_t frame_bytes)
      : connection_(std::move(connection)),
        stream_(std::move(stream)),
        source_(source),
        what_("Recording from " + source),
        attr_(attr),
        rate_(rate),
        frame_bytes_(frame_bytes),
        assembler_(frame_bytes),
        clock_start_(rate) {}

  Status<PlatformError> start() {
    if (running_) return Err(out_of_order(kNotStopped, "the stream is already running"));
    if (connected_) {
      auto uncorked = set_corked(false);
      if (!uncorked) return uncorked;
    } else {
      pa_stream* s = stream_.get();
      if (pa_stream_connect_record(s, source_.c_str(), &attr_, kStreamFlags) < 0) {
        return Err(connection_->refused(kDeviceInvalidated, what_));
      }
      connected_ = true;
      auto settled = connection_->dispatch_until(
          [s] { return pa_stream_get_state(s) != PA_STREAM_CREATING; }, what_);
      if (!settled) return settled;
      if (pa_stream_get_state(s) != PA_STREAM_READY) return Err(failure());
    }
    running_ = true;
    clock_start_.start(std::chrono::steady_clock::now(), handed_out_);
    return Unit{};
  }

  // Stopping a stopped stream is no error, as with Core Audio.
  Status<PlatformError> stop() {
    if (!running_) return Unit{};
    auto corked = set_corked(true);
    if (!corked) return corked;
    running_ = false;
    clock_start_.stop();
    return Unit{};
  }

  Status<PlatformError> reset() {
    if (running_) return Err(out_of_order(kNotStopped, "the stream is running"));
    if (assembler_.handed_out() || silent_out_) {
      return Err(out_of_order(kBufferOperationPending, "a packet is still held"));
    }
    handed_out_ = 0;
    if (!connected_) return Unit{};
    // The server's queue first; what it sent before acknowledging arrives
    // before the acknowledgement and is dropped with ours.
    int ok = 0;
    auto flushed = connection_->complete(
        OperationPtr(pa_stream_flush(stream_.get(), on_success, &ok)), what_);
    if (!flushed) return flushed;
    if (!ok) return Err(failure());
    return assembler_.discard(*this);
  }

  Result<uint32_t, PlatformError> next_packet_size() {
    if (!connected_) return uint32_t{0};
    if (silent_out_) return *silent_out_;
    auto pumped = connection_->dispatch_pending(what_);
    if (!pumped) return Err(std::move(pumped).error());
    if (pa_stream_get_state(stream_.get()) != PA_STREAM_READY) return Err(failure());
    if (clock_start_.waiting() && !assembler_.handed_out()) {
      auto placed = place_first_frame();
      if (!placed) return Err(std::move(placed).error());
    }
    if (const uint32_t silent = silence_due()) return silent;
    return assembler_.next_size(*this);
  }

  Result<Packet, PlatformError> get_buffer() {
    if (!connected_) return Packet{};
    if (silent_out_) {
      return Err(out_of_order(kOutOfOrder, "the previous packet has not been released"));
    }
    if (const uint32_t silent = silence_due()) {
      // Callers skip the data of a silent packet; zeros are there all the same.
      const size_t size = static_cast<size_t>(silent) * frame_bytes_;
      if (zeros_.size() < size) zeros_.resize(size, 0);
      silent_out_ = silent;
      return Packet{zeros_.data(), silent, kBufferFlagSilent};
    }
    return assembler_.get(*this);
  }

  Status<PlatformError> release_buffer(uint32_t frames) {
    if (silent_out_) {
      if (frames != 0 && frames != *silent_out_) {
        return Err(out_of_order(kInvalidSize, "a packet is released whole or not at all"));
      }
      silent_out_.reset();
      handed_out_ += frames;
      return Unit{};
    }
    auto released = assembler_.release(*this, frames);
    if (released) handed_out_ += frames;
    return released;
  }

  Result<Fragment, PlatformError> peek() override {
    const void* data = nullptr;
    size_t size = 0;
    if (pa_stream_peek(stream_.get(), &data, &size) < 0) return Err(failure());
    return Fragment{static_cast<const uint8_t*>(data), size};
  }

  Status<PlatformError> drop() override {
    if (pa_stream_drop(stream_.get()) < 0) return Err(failure());
    return Unit{};
  }

 private:
  // Why the stream stopped working: the connection, or the stream itself
  // (killed because its sink went away, or refused by the server).
  PlatformError failure() const {
    if (!connection_->ready()) return connection_->lost(what_);
    return pulse_error(kDeviceInvalidated, what_, pa_context_errno(connection_->context()));
  }

  // Silent frames to hand out before the next real one, a second at most
  // per packet (the buffer a Core Audio client would have).
  uint32_t silence_due() const {
    if (!running_) return 0;
    return static_cast<uint32_t>(
        std::min<uint64_t>(clock_start_.pending(handed_out_), std::max<uint32_t>(rate_, 1)));
  }

  // Until the first frame after a start arrives, the clock makes silence
  // due; when it arrives, the stream's timing tells when it is played.
  Status<PlatformError> place_first_frame() {
    if (!running_) return Unit{};
    auto pending = assembler_.next_size(*this);
    if (!pending) return Err(std::move(pending).error());
    if (*pending == 0) {
      clock_start_.nothing_yet(std::chrono::steady_clock::now());
      return Unit{};
    }
    auto timing = query_timing();
    if (!timing) return Err(std::move(timing).error());
    if (*timing) {
      clock_start_.first_frame(next_read_plays_at(**timing, rate_, frame_bytes_));
    } else {
      clock_start_.first_frame_unplaced();
    }
    return Unit{};
  }

  // A fresh timing snapshot of the stream; nullopt when the server gave
  // none that can be relied on.
  Result<std::optional<RecordTiming>, PlatformError> query_timing() {
    pa_stream* s = stream_.get();
    int ok = 0;
    const auto asked = std::chrono::steady_clock::now();
    auto done = connection_->complete(
        OperationPtr(pa_stream_update_timing_info(s, on_success, &ok)), what_);
    if (!done) return Err(std::move(done).error());
    const auto answered = std::chrono::steady_clock::now();
    const pa_timing_info* info = pa_stream_get_timing_info(s);
    if (!ok || info == nullptr || info->write_index_corrupt || info->read_index_corrupt) {
      return std::optional<RecordTiming>();
    }
    RecordTiming timing;
    // The server took its figures between our request and its answer.
    timing.measured_at = asked + (answered - asked) / 2;
    timing.sink_usec = info->sink_usec;
    timing.source_usec = info->source_usec;
    timing.write_index = info->write_index;
    timing.read_index = info->read_index;
    return std::optional<RecordTiming>(timing);
  }

  Status<PlatformError> set_corked(bool corked) {
    int ok = 0;
    auto done = connection_->complete(
        OperationPtr(pa_stream_cork(stream_.get(), corked ? 1 : 0, on_success, &ok)), what_);
    if (!done) return done;
    if (!ok) return Err(failure());
    return Unit{};
  }

  // Declared first so the stream is released before the connection.
  std::shared_ptr<PulseConnection> connection_;
  StreamPtr stream_;
  std::string source_;
  std::string what_;
  pa_buffer_attr attr_;
  uint32_t rate_;
  size_t frame_bytes_;
  PacketAssembler assembler_;
  WallClockStart clock_start_;
  uint64_t handed_out_ = 0;  // frames released since the last reset, silent ones included
  std::optional<uint32_t> silent_out_;  // a silent packet handed out, not yet released
  std::vector<uint8_t> zeros_;
  bool connected_ = false;
  bool running_ = false;
};

class LoopbackClient final : public StreamAudioClient<MonitorStream> {
 public:
  LoopbackClient(std::shared_ptr<PulseConnection> connection, std::string sink)
      : connection_(std::move(connection)), sink_(std::move(sink)) {}

  Result<std::unique_ptr<MixFormat>, PlatformError> get_mix_format() override {
    auto sink = query_sink(*connection_, sink_);
    if (!sink) return Err(std::move(sink).error());
    if (!*sink) return Err(sink_gone(sink_));
    const pa_sample_spec& sink_format = (*sink)->sample_format;
    return std::unique_ptr<MixFormat>(
        std::make_unique<PulseMixFormat>(sink_format.rate, sink_format.channels));
  }

  Status<PlatformError> initialize_loopback(const MixFormat& format) override {
    if (initialized()) {
      return Err(out_of_order(kAlreadyInitialized, "the stream is set up already"));
    }
    pa_sample_spec sample_format{};
    switch (format.bits_per_sample()) {
      case 32:
        sample_format.format = PA_SAMPLE_FLOAT32LE;
        break;
      case 16:
        sample_format.format = PA_SAMPLE_S16LE;
        break;
      default:
        return Err(error_with_text(kUnsupportedFormat, "Audio client",
                                   "only 32-bit float and 16-bit samples can be recorded"));
    }
    sample_format.rate = format.samples_per_sec();
    sample_format.channels = static_cast<uint8_t>(format.channels());
    if (format.channels() > PA_CHANNELS_MAX || !pa_sample_spec_valid(&sample_format)) {
      return Err(error_with_text(kUnsupportedFormat, "Audio client",
                                 "the sound server cannot record this rate or channel count"));
    }

    auto sink = query_sink(*connection_, sink_);
    if (!sink) return Err(std::move(sink).error());
    if (!*sink) return Err(sink_gone(sink_));
    // The sink's own channel order, so the server has nothing to remix.
    pa_channel_map map = (*sink)->channel_map;
    if (map.channels != sample_format.channels) {
      pa_channel_map_init_extend(&map, sample_format.channels, PA_CHANNEL_MAP_WAVEEX);
    }
    StreamPtr stream(pa_stream_new(connection_->context(), kStreamName, &sample_format, &map));
    if (!stream) return Err(connection_->refused(kUnsupportedFormat, "Audio client"));

    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(pa_usec_to_bytes(kQueueUsec, &sample_format));
    attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(kFragmentUsec, &sample_format));
    attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
    const std::string source =
        (*sink)->monitor_source.empty() ? sink_ + ".monitor" : (*sink)->monitor_source;
    set_stream(std::make_shared<MonitorStream>(connection_, std::move(stream), source, attr,
                                               sample_format.rate, pa_frame_size(&sample_format)),
               sample_format.rate);
    return Unit{};
  }

 private:
  std::shared_ptr<PulseConnection> connection_;
  std::string sink_;
};

}  // namespace

std::unique_ptr<AudioClient> make_loopback_client(std::shared_ptr<PulseConnection> connection,
                                                  std::string sink_name) {
  return std::make_unique<LoopbackClient>(std::move(connection), std::move(sink_name));
}

}  // namespace vorel::platform::pulse
