#include "platform/silence_fill.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace vorel {
namespace {

using platform::AudioClient;
using platform::CaptureClient;
using platform::MixFormat;
using platform::Packet;

// The stream's position in frames, shared by the client (which knows the
// format and when the stream started) and its reader.
struct Timeline {
  explicit Timeline(Clock& c) : clock(c) {}

  Clock& clock;
  uint32_t rate = 0;
  size_t frame_bytes = 0;
  std::optional<Clock::time_point> started;  // while the stream runs
  uint64_t delivered = 0;                    // frames handed out, real or silent
  uint32_t largest_packet = 0;

  // Frames the stream has fallen behind the time elapsed since Start.
  uint64_t behind() {
    if (!started || rate == 0) return 0;
    const auto elapsed = clock.now() - *started;
    if (elapsed.count() <= 0) return 0;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
    // Whole seconds apart, so that hours of recording cannot overflow.
    const auto seconds = static_cast<uint64_t>(ns / 1'000'000'000);
    const auto rest = static_cast<uint64_t>(ns % 1'000'000'000);
    const uint64_t due = seconds * rate + rest * rate / 1'000'000'000;
    return due > delivered ? due - delivered : 0;
  }

  uint64_t packet_worth() const { return std::max<uint64_t>(largest_packet, rate / 100); }
};

class GapFillingReader final : public CaptureClient {
 public:
  GapFillingReader(std::unique_ptr<CaptureClient> inner, std::shared_ptr<Timeline> timeline)
      : inner_(std::move(inner)), timeline_(std::move(timeline)) {}

  Result<uint32_t, PlatformError> next_packet_size() override {
    auto pending = inner_->next_packet_size();
    if (!pending || *pending > 0) {
      silent_.reset();
      return pending;
    }
    const uint64_t behind = timeline_->behind();
    if (behind <= timeline_->packet_worth()) return 0u;
    silent_ = static_cast<uint32_t>(std::min<uint64_t>(behind, std::max(timeline_->rate, 1u)));
    return *silent_;
  }

  Result<Packet, PlatformError> get_buffer() override {
    if (!silent_) return inner_->get_buffer();
    // Callers skip the data of a silent packet; zeros are there all the same.
    const size_t size = static_cast<size_t>(*silent_) * timeline_->frame_bytes;
    if (zeros_.size() < size) zeros_.resize(size, 0);
    return Packet{zeros_.data(), *silent_, platform::kBufferFlagSilent};
  }

  Status<PlatformError> release_buffer(uint32_t frames) override {
    if (silent_) {
      silent_.reset();
      timeline_->delivered += frames;
      return Unit{};
    }
    auto released = inner_->release_buffer(frames);
    if (released) {
      timeline_->delivered += frames;
      timeline_->largest_packet = std::max(timeline_->largest_packet, frames);
    }
    return released;
  }

 private:
  std::unique_ptr<CaptureClient> inner_;
  std::shared_ptr<Timeline> timeline_;
  std::optional<uint32_t> silent_;  // the silent packet announced
  std::vector<uint8_t> zeros_;
};

class GapFillingClient final : public AudioClient {
 public:
  GapFillingClient(std::unique_ptr<AudioClient> inner, Clock& clock)
      : inner_(std::move(inner)), timeline_(std::make_shared<Timeline>(clock)) {}

  Result<std::unique_ptr<MixFormat>, PlatformError> get_mix_format() override {
    return inner_->get_mix_format();
  }

  Status<PlatformError> initialize_loopback(const MixFormat& format) override {
    auto initialized = inner_->initialize_loopback(format);
    if (initialized) {
      timeline_->rate = format.samples_per_sec();
      timeline_->frame_bytes = static_cast<size_t>(format.bits_per_sample() / 8) * format.channels();
    }
    return initialized;
  }

  Result<uint32_t, PlatformError> get_buffer_size() override { return inner_->get_buffer_size(); }

  Result<std::unique_ptr<CaptureClient>, PlatformError> get_capture_client() override {
    auto reader = inner_->get_capture_client();
    if (!reader) return reader;
    return std::unique_ptr<CaptureClient>(
        std::make_unique<GapFillingReader>(std::move(reader).value(), timeline_));
  }

  Status<PlatformError> start() override {
    auto started = inner_->start();
    if (started) timeline_->started = timeline_->clock.now();
    return started;
  }

  Status<PlatformError> stop() override {
    // A stopped stream has no time to account for.
    timeline_->started.reset();
    return inner_->stop();
  }

  Status<PlatformError> reset() override { return inner_->reset(); }

 private:
  std::unique_ptr<AudioClient> inner_;
  std::shared_ptr<Timeline> timeline_;
};

}  // namespace

std::unique_ptr<platform::AudioClient> fill_silence_gaps(
    std::unique_ptr<platform::AudioClient> client, Clock& clock) {
  return std::make_unique<GapFillingClient>(std::move(client), clock);
}

}  // namespace vorel
