#include "platform/errors.h"

#include "platform/kernel.h"

namespace vorel::platform {

PlatformError error_from_hresult(int32_t hr) {
  return PlatformError::with_info(hr, take_thread_error_info());
}

PlatformError error_from_last_error() { return PlatformError::from_win32(last_error()); }

IoError last_io_error() { return IoError::os(last_os_error()); }

std::string render(const PlatformError& error) { return error.render(system_messages()); }

std::string render(const IoError& error) { return error.render(system_messages()); }

}  // namespace vorel::platform
