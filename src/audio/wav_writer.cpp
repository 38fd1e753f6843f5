#include "audio/wav_writer.h"

namespace vorel {

WavWriter::WavWriter(std::unique_ptr<platform::File> file, uint32_t sample_rate,
                     uint16_t channels)
    : file_(std::move(file)), sample_rate_(sample_rate), channels_(channels) {}

Status<IoError> WavWriter::write_all(const uint8_t* data, size_t size) {
  while (size > 0) {
    auto written = file_->write(data, size);
    if (!written) return Err(std::move(written.error()));
    if (*written == 0) return Err(IoError::write_zero());
    data += *written;
    size -= *written;
  }
  return Unit{};
}

Status<IoError> WavWriter::write_u16(uint16_t v) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
  return write_all(bytes, sizeof bytes);
}

Status<IoError> WavWriter::write_u32(uint32_t v) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                            static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
  return write_all(bytes, sizeof bytes);
}

Status<IoError> WavWriter::write_tag(const char (&tag)[5]) {
  return write_all(reinterpret_cast<const uint8_t*>(tag), 4);
}

Status<IoError> WavWriter::write_header() {
  // Every field its own write, in file order; stop at the first failure.
  Status<IoError> r = write_tag("RIFF");
  if (r) r = write_u32(0);
  if (r) r = write_tag("WAVE");
  if (r) r = write_tag("fmt ");
  if (r) r = write_u32(16);
  if (r) r = write_u16(1);  // PCM
  if (r) r = write_u16(channels_);
  if (r) r = write_u32(sample_rate_);
  if (r) r = write_u32(sample_rate_ * static_cast<uint32_t>(channels_) * 2u);
  if (r) r = write_u16(static_cast<uint16_t>(channels_ * 2));
  if (r) r = write_u16(16);
  if (r) r = write_tag("data");
  if (r) r = write_u32(0);
  return r;
}

Status<IoError> WavWriter::append(const uint8_t* data, size_t size) {
  return write_all(data, size);
}

Status<IoError> WavWriter::finalize() {
  Status<IoError> r = file_->seek(4);
  if (r) r = write_u32(data_bytes + 36u);
  if (r) r = file_->seek(40);
  if (r) r = write_u32(data_bytes);
  return r;
}

}  // namespace vorel
