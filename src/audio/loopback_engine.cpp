#include "audio/loopback_engine.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "audio/sample_convert.h"
#include "platform/errors.h"
#include "util/duration.h"

namespace vorel {
namespace {

std::string step_failed(const char* prefix, const PlatformError& error) {
  return prefix + platform::render(error);
}

std::string io_failed(const char* prefix, const IoError& error) {
  return prefix + platform::render(error);
}

struct Layout {
  bool source_is_float = false;
  size_t source_frame_bytes = 0;
  size_t output_frame_bytes = 0;
};

// Appends packets to the file while the WAV header can still describe them.
class Drainer {
 public:
  Drainer(platform::CaptureClient& reader, WavWriter& wav, Layout layout, uint64_t max_data_bytes)
      : reader_(reader), wav_(wav), layout_(layout) {
    // Whole frames only, so the file stays valid at the limit.
    const uint64_t align = layout.output_frame_bytes == 0 ? 1 : layout.output_frame_bytes;
    max_data_bytes_ = std::min<uint64_t>(max_data_bytes, kWavMaxDataBytes) / align * align;
  }

  // Reads every pending packet.
  std::optional<std::string> drain() {
    for (;;) {
      auto pending = reader_.next_packet_size();
      if (!pending) return step_failed("GetNextPacketSize: ", pending.error());
      if (*pending == 0) return std::nullopt;
      auto packet = reader_.get_buffer();
      if (!packet) return step_failed("GetBuffer: ", packet.error());
      const uint32_t frames = packet->frames;
      if (frames > 0) {
        if (auto failure = append_packet(*packet)) return failure;  // not released
      }
      auto released = reader_.release_buffer(frames);
      if (!released) return step_failed("ReleaseBuffer: ", released.error());
    }
  }

 private:
  std::optional<std::string> append_packet(const platform::Packet& packet) {
    const uint8_t* bytes = nullptr;
    size_t size = 0;
    if (packet.flags & platform::kBufferFlagSilent) {
      size = static_cast<size_t>(packet.frames) * layout_.output_frame_bytes;
      scratch_.assign(size, 0);
      bytes = scratch_.data();
    } else {
      const size_t length = static_cast<size_t>(packet.frames) * layout_.source_frame_bytes;
      if (layout_.source_is_float) {
        const size_t samples = length / 4;
        size = samples * 2;
        scratch_.resize(size);
        convert_f32_to_s16(packet.data, samples, scratch_.data());
        bytes = scratch_.data();
      } else {
        bytes = packet.data;
        size = length;
      }
    }
    return append(bytes, size);
  }

  std::optional<std::string> append(const uint8_t* bytes, size_t size) {
    const uint64_t room = max_data_bytes_ - wav_.data_bytes;
    const bool at_limit = size > room;
    const size_t take = at_limit ? static_cast<size_t>(room) : size;
    if (take > 0) {
      auto appended = wav_.append(bytes, take);
      if (!appended) return io_failed("WAV write: ", appended.error());
      wav_.data_bytes += static_cast<uint32_t>(take);
    }
    if (at_limit) {
      return "WAV write: the size limit of a WAV file was reached (" +
             std::to_string(max_data_bytes_) + " bytes of sample data); recording stopped";
    }
    return std::nullopt;
  }

  platform::CaptureClient& reader_;
  WavWriter& wav_;
  Layout layout_;
  uint64_t max_data_bytes_;
  std::vector<uint8_t> scratch_;
};

// Steps from creating the file to finishing it. On a failure after the
// header was written the two size fields are still patched to what the file
// holds, so a recording cut short keeps what it captured.
std::optional<std::string> record(AudioCaptureState& state, const AudioWorkerInputs& inputs,
                                  AudioWorkerEnvironment& env, platform::AudioClient& stream,
                                  platform::CaptureClient& reader, const platform::MixFormat& format,
                                  uint32_t buffer_frames) {
  const Layout layout{format.bits_per_sample() == 32,
                      static_cast<size_t>(format.bits_per_sample() / 8) * format.channels(),
                      static_cast<size_t>(format.channels()) * 2};
  const auto interval = poll_interval(buffer_frames, format.samples_per_sec());

  auto file = env.open_file(inputs.wav_path);
  if (!file) return io_failed("Failed to create WAV file: ", file.error());
  WavWriter wav(std::move(file).value(), format.samples_per_sec(), format.channels());
  auto header = wav.write_header();
  if (!header) return io_failed("WAV header: ", header.error());  // closed by `wav`

  Drainer drainer(reader, wav, layout, env.max_data_bytes);
  std::optional<std::string> failure;
  while (!failure && !state.stop_requested.load()) {
    env.clock.sleep_for(interval);
    failure = drainer.drain();
  }
  if (!failure) failure = drainer.drain();  // what arrived since the last turn
  if (!failure) {
    auto stopped = stream.stop();
    if (!stopped) failure = step_failed("IAudioClient::Stop: ", stopped.error());
  }
  if (!failure) {
    auto reset = stream.reset();
    if (!reset) failure = step_failed("IAudioClient::Reset: ", reset.error());
  }
  if (!failure) {
    auto finalized = wav.finalize();
    if (!finalized) return io_failed("WAV finalize: ", finalized.error());
    return std::nullopt;
  }
  (void)wav.finalize();  // best effort; the failure already tells what happened
  return failure;
}

}  // namespace

std::chrono::nanoseconds poll_interval(uint32_t buffer_frames, uint32_t samples_per_sec) {
  double seconds = static_cast<double>(buffer_frames) / static_cast<double>(samples_per_sec) / 10.0;
  // A buffer of 0 frames (process-loopback clients can report one) would
  // make the worker spin a core: it gets the default, as a quotient that is
  // not a number does.
  if (!std::isfinite(seconds) || seconds <= 0.0 || seconds > 0.002) seconds = 0.002;
  auto d = duration_from_secs(seconds);
  return d ? d->to_chrono_saturated() : std::chrono::nanoseconds(2'000'000);
}

std::optional<std::string> run_loopback_capture(AudioCaptureState& state,
                                                const AudioWorkerInputs& inputs,
                                                AudioWorkerEnvironment& env) {
  // Declared in the order obtained, so they are released newest first.
  auto enumerator = env.services.create_device_enumerator();
  if (!enumerator) return step_failed("CoCreateInstance(MMDeviceEnumerator): ", enumerator.error());
  auto endpoint = (*enumerator)->default_render_endpoint();
  if (!endpoint) return step_failed("GetDefaultAudioEndpoint: ", endpoint.error());
  auto endpoint_client = (*endpoint)->activate_audio_client();
  if (!endpoint_client) return step_failed("Activate(IAudioClient): ", endpoint_client.error());
  auto format = (*endpoint_client)->get_mix_format();
  if (!format) return step_failed("GetMixFormat: ", format.error());

  std::unique_ptr<platform::AudioClient> process_client;
  if (inputs.process_id) {
    auto activated = env.services.activate_process_loopback(*inputs.process_id);
    if (!activated) return std::move(activated.error());
    process_client = std::move(activated).value();
  }
  platform::AudioClient& stream = process_client ? *process_client : **endpoint_client;
  const platform::MixFormat& mix = **format;

  state.sample_rate.set(mix.samples_per_sec());
  state.channels.set(mix.channels());
  state.bits_per_sample.set(mix.bits_per_sample());
  state.format_ready.reach();

  auto initialized = stream.initialize_loopback(mix);
  if (!initialized) return step_failed("IAudioClient::Initialize: ", initialized.error());
  auto buffer_frames = stream.get_buffer_size();
  if (!buffer_frames) return step_failed("GetBufferSize: ", buffer_frames.error());
  auto reader = stream.get_capture_client();
  if (!reader) return step_failed("GetService(IAudioCaptureClient): ", reader.error());
  auto started = stream.start();
  if (!started) return step_failed("IAudioClient::Start: ", started.error());

  state.started_at.set(0.0);
  state.started.reach();

  return record(state, inputs, env, stream, **reader, mix, *buffer_frames);
}

}  // namespace vorel
