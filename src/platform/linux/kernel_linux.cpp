// Kernel services on Linux. The "last error" of the window and audio backends
// is a Windows-style code they store themselves, so that failures render the
// same way on both platforms; file and thread operations report errno.
#include <sys/mman.h>

#include <cerrno>

#include "platform/kernel.h"
#include "platform/memory.h"

namespace vorel::platform {
namespace {

thread_local int32_t t_last_error = 0;
thread_local ErrorInfoPtr t_error_info;

}  // namespace

int32_t last_error() { return t_last_error; }
void set_last_error(int32_t code) { t_last_error = code; }
int32_t last_os_error() { return errno; }

ErrorInfoPtr take_thread_error_info() { return std::move(t_error_info); }
void set_thread_error_info(ErrorInfoPtr info) { t_error_info = std::move(info); }

void advise_huge_pages(uint8_t* data, size_t size) {
#if defined(MADV_HUGEPAGE)
  const uintptr_t begin = reinterpret_cast<uintptr_t>(data);
  const uintptr_t first = (begin + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
  const uintptr_t last = (begin + size) / kHugePageBytes * kHugePageBytes;
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)data;
  (void)size;
#endif
}

}  // namespace vorel::platform
