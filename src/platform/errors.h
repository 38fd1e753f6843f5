// Error values made from the calling thread's error state, and their texts
// from the system's message tables: the platform half of the error values in
// errors/, which hold no OS state themselves.
#pragma once

#include <cstdint>
#include <string>

#include "errors/io_error.h"
#include "errors/messages.h"
#include "errors/platform_error.h"

namespace vorel::platform {

// A failing HRESULT: takes (and so clears) the calling thread's current error
// information.
PlatformError error_from_hresult(int32_t hr);
// After a system call that reported failure: the thread's last error.
PlatformError error_from_last_error();
// The calling thread's last OS error of a file or thread operation.
IoError last_io_error();

// The platform's own tables (FormatMessageW on Windows; on Linux the C
// library for OS errors and a table of Windows texts for HRESULTs).
const MessageSource& system_messages();

// The error's text from the system's tables.
std::string render(const PlatformError& error);
std::string render(const IoError& error);

}  // namespace vorel::platform
