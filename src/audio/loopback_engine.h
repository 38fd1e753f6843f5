// The body of the audio worker: record what the default output endpoint (or
// one process tree) plays into a 16-bit PCM WAV file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "audio/audio_state.h"
#include "audio/wav_writer.h"
#include "platform/audio_services.h"
#include "platform/file.h"
#include "util/clock.h"

namespace vorel {

struct AudioWorkerInputs {
  std::string wav_path;
  std::optional<uint32_t> process_id;
};

using FileOpener =
    std::function<Result<std::unique_ptr<platform::File>, IoError>(const std::string& path)>;

struct AudioWorkerEnvironment {
  platform::AudioServices& services;
  Clock& clock;
  FileOpener open_file = platform::create_file;
  // The most sample data one file takes: what the header's 32-bit size
  // fields can describe. Lowered in tests.
  uint64_t max_data_bytes = kWavMaxDataBytes;
};

// Runs one recording to its end, publishing the milestones in `state`.
// Returns the failure text, or nullopt after a clean stop. Every platform
// object it obtained is released before it returns; the caller, which opened
// `services` on this thread, closes that session and then stores the
// failure in `state.error`.
std::optional<std::string> run_loopback_capture(AudioCaptureState& state,
                                                const AudioWorkerInputs& inputs,
                                                AudioWorkerEnvironment& env);

// The sleep between two drains: min(buffer / rate / 10, 2 ms), 2 ms when the
// quotient is not finite or the buffer has no frames, to the nearest
// nanosecond.
std::chrono::nanoseconds poll_interval(uint32_t buffer_frames, uint32_t samples_per_sec);

}  // namespace vorel
