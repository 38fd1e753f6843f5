// Filling the memory that carries a frame to the stream. A frame of several
// megabytes is copied once per frame into an object whose pages are touched
// by nothing else in between, so how the copy stores and how the pages are
// mapped (platform/memory.h) decide much of what a frame costs once the grab
// itself overlaps with the hand-over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define VOREL_STREAMING_STORES 1
#endif

namespace vorel {

// From this size on a frame is larger than the cache its consumer could find
// it in, so the copy's stores go straight to memory: an ordinary store first
// reads each destination line (a third more memory traffic, taken from the
// server filling the next frame) and then evicts what is cached. Smaller
// frames stay in the cache for the consumer, which reads them next. On the
// 2-core VMs we build on, 33 MB took 1.4-2.0 ms this way against 2.2-3.4 ms
// with memcpy; 8 MB took 0.3 ms either way but was read back faster after
// memcpy. glibc's own switch to such stores sits far higher on machines that
// report a large shared cache (240 MB on those VMs), so it is not relied on.
inline constexpr size_t kStreamingCopyMinBytes = size_t{16} << 20;

// Copies `size` bytes with stores that bypass the cache, ordered before
// anything this thread stores afterwards. Any alignment of either side.
inline void copy_streaming(uint8_t* to, const uint8_t* from, size_t size) {
  if (size == 0) return;  // either side may then be null, which memcpy refuses
#if defined(VOREL_STREAMING_STORES)
  // Ordinary stores up to the first 16-byte boundary of the destination.
  size_t head = (16 - reinterpret_cast<uintptr_t>(to) % 16) % 16;
  if (head > size) head = size;
  std::memcpy(to, from, head);
  to += head;
  from += head;
  size -= head;
  const size_t blocks = size / 64;
  auto* dst = reinterpret_cast<__m128i*>(to);
  const auto* src = reinterpret_cast<const __m128i*>(from);
  for (size_t i = 0; i < blocks; ++i, dst += 4, src += 4) {
    const __m128i a = _mm_loadu_si128(src);
    const __m128i b = _mm_loadu_si128(src + 1);
    const __m128i c = _mm_loadu_si128(src + 2);
    const __m128i d = _mm_loadu_si128(src + 3);
    _mm_stream_si128(dst, a);
    _mm_stream_si128(dst + 1, b);
    _mm_stream_si128(dst + 2, c);
    _mm_stream_si128(dst + 3, d);
  }
  std::memcpy(to + blocks * 64, from + blocks * 64, size - blocks * 64);
  // Streaming stores are weakly ordered: make them visible before the frame
  // is handed on, to this thread's later stores and so to other threads.
  _mm_sfence();
#else
  std::memcpy(to, from, size);
#endif
}

// One frame into the object handed to the stream.
inline void copy_frame(uint8_t* to, const uint8_t* from, size_t size) {
  if (size >= kStreamingCopyMinBytes) {
    copy_streaming(to, from, size);
  } else {
    std::memcpy(to, from, size);
  }
}

}  // namespace vorel
