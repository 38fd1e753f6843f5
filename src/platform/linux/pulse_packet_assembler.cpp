#include "platform/linux/pulse_packet_assembler.h"

#include <algorithm>
#include <limits>

#include "platform/linux/pulse_connection.h"

namespace vorel::platform::pulse {
namespace {

constexpr std::string_view kWhat = "Capture client";

// Whole frames in `bytes`, as many as a packet can count.
size_t whole_frames(size_t bytes, size_t frame_bytes) {
  return std::min<size_t>(bytes / frame_bytes, std::numeric_limits<uint32_t>::max());
}

}  // namespace

void PacketAssembler::append(std::vector<uint8_t>& to, const uint8_t* data, size_t size) {
  if (data == nullptr) {
    to.insert(to.end(), size, uint8_t{0});  // a hole reads as silence
  } else {
    to.insert(to.end(), data, data + size);
  }
}

Result<uint32_t, PlatformError> PacketAssembler::next_size(FragmentSource& source) {
  if (prepared_) return prepared_->packet.frames;
  return prepare(source);
}

Result<uint32_t, PlatformError> PacketAssembler::prepare(FragmentSource& source) {
  if (frame_bytes_ == 0) return uint32_t{0};
  for (;;) {
    auto peeked = source.peek();
    if (!peeked) return Err(std::move(peeked).error());
    const Fragment f = *peeked;
    if (f.size == 0) return uint32_t{0};

    if (carry_.empty()) {
      const size_t frames = whole_frames(f.size, frame_bytes_);
      if (frames > 0) {
        const size_t used = frames * frame_bytes_;
        Prepared p;
        p.packet.data = f.data;
        p.packet.frames = static_cast<uint32_t>(frames);
        p.packet.flags = f.data == nullptr ? kBufferFlagSilent : 0;
        p.in_fragment = true;
        p.tail = Fragment{f.data == nullptr ? nullptr : f.data + used, f.size - used};
        prepared_ = p;
        return p.packet.frames;
      }
    } else if (carry_.size() + f.size >= frame_bytes_) {
      // The carried bytes start the packet: copy them and the fragment's
      // whole frames after them, keep the new partial frame, let go of the
      // fragment.
      const size_t frames = whole_frames(carry_.size() + f.size, frame_bytes_);
      const size_t from_fragment = frames * frame_bytes_ - carry_.size();
      assembly_.swap(carry_);
      append(assembly_, f.data, from_fragment);
      carry_.clear();
      append(carry_, f.data == nullptr ? nullptr : f.data + from_fragment, f.size - from_fragment);
      auto dropped = source.drop();
      if (!dropped) return Err(std::move(dropped).error());
      Prepared p;
      p.packet.data = assembly_.data();
      p.packet.frames = static_cast<uint32_t>(frames);
      prepared_ = p;
      return p.packet.frames;
    }
    // Less than a frame in all: keep it and look at the next fragment.
    append(carry_, f.data, f.size);
    auto dropped = source.drop();
    if (!dropped) return Err(std::move(dropped).error());
  }
}

Result<Packet, PlatformError> PacketAssembler::get(FragmentSource& source) {
  if (!prepared_) {
    auto frames = prepare(source);
    if (!frames) return Err(std::move(frames).error());
    if (*frames == 0) return Packet{};
  }
  if (prepared_->handed_out) {
    return Err(error_with_text(kOutOfOrder, kWhat,
                               "the previous packet has not been released"));
  }
  prepared_->handed_out = true;
  return prepared_->packet;
}

Status<PlatformError> PacketAssembler::release(FragmentSource& source, uint32_t frames) {
  if (!handed_out()) {
    if (frames == 0) return Unit{};
    return Err(error_with_text(kOutOfOrder, kWhat, "no packet is held"));
  }
  if (frames == 0) {
    prepared_->handed_out = false;
    return Unit{};
  }
  if (frames != prepared_->packet.frames) {
    return Err(error_with_text(kInvalidSize, kWhat,
                               "a packet is released whole or not at all"));
  }
  if (prepared_->in_fragment) {
    append(carry_, prepared_->tail.data, prepared_->tail.size);
    prepared_.reset();
    return source.drop();
  }
  prepared_.reset();
  return Unit{};
}

Status<PlatformError> PacketAssembler::discard(FragmentSource& source) {
  if (handed_out()) {
    return Err(error_with_text(kBufferOperationPending, kWhat, "a packet is still held"));
  }
  if (prepared_ && prepared_->in_fragment) {
    prepared_.reset();
    auto dropped = source.drop();
    if (!dropped) return dropped;
  }
  prepared_.reset();
  carry_.clear();
  for (;;) {
    auto peeked = source.peek();
    if (!peeked) return Err(std::move(peeked).error());
    if (peeked->size == 0) return Unit{};
    auto dropped = source.drop();
    if (!dropped) return dropped;
  }
}

}  // namespace vorel::platform::pulse
