// Kernel services on Linux. The "last error" of the window and audio backends
// is a Windows-style code they store themselves, so that failures render the
// same way on both platforms; file and thread operations report errno.
#include <cerrno>

#include "platform/kernel.h"

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

}  // namespace vorel::platform
