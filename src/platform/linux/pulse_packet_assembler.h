// Turns the fragments a record stream hands out into the whole-frame packets
// a capture client promises. The server may cut its fragments anywhere, also
// inside a frame: the bytes of a partial frame are carried over to the next
// packet, so no byte is lost and every packet starts on a frame boundary.
//
// A packet points into the stream's own fragment while it can (the common
// case: fragments of whole frames); only a frame split across fragments is
// copied. A hole in the stream (no data for a stretch) is a silent packet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "errors/platform_error.h"
#include "platform/audio_services.h"
#include "util/result.h"

namespace vorel::platform::pulse {

// One fragment as pa_stream_peek reports it: data == nullptr with size > 0
// is a hole, size 0 means nothing is pending.
struct Fragment {
  const uint8_t* data = nullptr;
  size_t size = 0;
};

// Where fragments come from: the record stream, or a fake in tests.
class FragmentSource {
 public:
  virtual ~FragmentSource() = default;
  // The next fragment, without removing it; the same one until drop().
  virtual Result<Fragment, PlatformError> peek() = 0;
  // Removes the fragment peek() reported.
  virtual Status<PlatformError> drop() = 0;
};

class PacketAssembler {
 public:
  explicit PacketAssembler(size_t frame_bytes) : frame_bytes_(frame_bytes) {}

  // Frames in the next packet, preparing it; 0 when not one whole frame is
  // pending.
  Result<uint32_t, PlatformError> next_size(FragmentSource& source);
  // Hands out the next packet (an empty one when nothing is pending). The
  // data stays valid until release().
  Result<Packet, PlatformError> get(FragmentSource& source);
  // `frames` is the handed-out packet's frame count (consumed) or 0 (kept
  // for the next get()).
  Status<PlatformError> release(FragmentSource& source, uint32_t frames);
  // Throws away everything pending, here and in `source`.
  Status<PlatformError> discard(FragmentSource& source);

  bool handed_out() const { return prepared_ && prepared_->handed_out; }

 private:
  struct Prepared {
    Packet packet;
    // True when `packet` points into the fragment still held by the source;
    // its bytes past the packet are then the next partial frame.
    bool in_fragment = false;
    Fragment tail;
    bool handed_out = false;
  };

  Result<uint32_t, PlatformError> prepare(FragmentSource& source);
  static void append(std::vector<uint8_t>& to, const uint8_t* data, size_t size);

  size_t frame_bytes_;
  std::vector<uint8_t> carry_;     // a partial frame, always shorter than one frame
  std::vector<uint8_t> assembly_;  // a packet that starts with carried bytes
  std::optional<Prepared> prepared_;
};

}  // namespace vorel::platform::pulse
