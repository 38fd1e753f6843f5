// The audio client and packet reader around one recording stream: once
// initialize_loopback has set the stream up, every call goes to it. The
// loopback and the per-process clients differ only in the stream they make.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "platform/audio_services.h"
#include "platform/linux/pulse_connection.h"

namespace vorel::platform::pulse {

// `Stream` offers next_packet_size, get_buffer, release_buffer, start, stop
// and reset with the CaptureClient / AudioClient results.
template <class Stream>
class StreamCaptureClient final : public CaptureClient {
 public:
  explicit StreamCaptureClient(std::shared_ptr<Stream> stream) : stream_(std::move(stream)) {}
  Result<uint32_t, PlatformError> next_packet_size() override {
    return stream_->next_packet_size();
  }
  Result<Packet, PlatformError> get_buffer() override { return stream_->get_buffer(); }
  Status<PlatformError> release_buffer(uint32_t frames) override {
    return stream_->release_buffer(frames);
  }

 private:
  std::shared_ptr<Stream> stream_;  // shared with the audio client
};

template <class Stream>
class StreamAudioClient : public AudioClient {
 public:
  Result<uint32_t, PlatformError> get_buffer_size() override {
    if (!stream_) return Err(not_initialized());
    return buffer_frames_;
  }
  Result<std::unique_ptr<CaptureClient>, PlatformError> get_capture_client() override {
    if (!stream_) return Err(not_initialized());
    return std::unique_ptr<CaptureClient>(std::make_unique<StreamCaptureClient<Stream>>(stream_));
  }
  Status<PlatformError> start() override {
    if (!stream_) return Err(not_initialized());
    return stream_->start();
  }
  Status<PlatformError> stop() override {
    if (!stream_) return Err(not_initialized());
    return stream_->stop();
  }
  Status<PlatformError> reset() override {
    if (!stream_) return Err(not_initialized());
    return stream_->reset();
  }

 protected:
  // A call that needs the stream before initialize_loopback made it.
  static PlatformError not_initialized() {
    return error_with_text(kNotInitialized, "Audio client", "the stream has not been set up");
  }
  // Set by initialize_loopback; the buffer is one second, like the one Core
  // Audio is asked for.
  void set_stream(std::shared_ptr<Stream> stream, uint32_t rate) {
    stream_ = std::move(stream);
    buffer_frames_ = rate;
  }
  bool initialized() const { return stream_ != nullptr; }

 private:
  std::shared_ptr<Stream> stream_;
  uint32_t buffer_frames_ = 0;
};

}  // namespace vorel::platform::pulse
