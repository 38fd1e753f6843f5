// A 16-bit PCM WAV file: a 44-byte header written field by field, sample
// data appended straight to the file, and the two size fields patched at the
// end.
#pragma once

#include <cstdint>
#include <memory>

#include "errors/io_error.h"
#include "platform/file.h"
#include "util/result.h"

namespace vorel {

// The most sample data the 32-bit RIFF size field can describe
// (2^32 - 1 - 36 bytes), before rounding down to whole frames.
inline constexpr uint64_t kWavMaxDataBytes = 0xFFFFFFFFull - 36;

class WavWriter {
 public:
  WavWriter(std::unique_ptr<platform::File> file, uint32_t sample_rate, uint16_t channels);

  // The thirteen header fields, one write each, both sizes 0.
  Status<IoError> write_header();
  // One block at the end of the file. The caller counts it in data_bytes.
  Status<IoError> append(const uint8_t* data, size_t size);
  // Patches the RIFF size (data_bytes + 36) and the data size.
  Status<IoError> finalize();
  // Closes the file.
  void close() { file_.reset(); }

  uint32_t sample_rate() const { return sample_rate_; }
  uint16_t channels() const { return channels_; }

  // Sample-data bytes appended so far; grows modulo 2^32.
  uint32_t data_bytes = 0;

 private:
  Status<IoError> write_all(const uint8_t* data, size_t size);
  Status<IoError> write_u16(uint16_t v);
  Status<IoError> write_u32(uint32_t v);
  Status<IoError> write_tag(const char (&tag)[5]);

  std::unique_ptr<platform::File> file_;
  uint32_t sample_rate_;
  uint16_t channels_;
};

}  // namespace vorel
