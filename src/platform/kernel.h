// Kernel services: the thread's last error and error information, and (for
// the capture workers) clocks, sleeps and named threads. Implemented once
// per platform in platform/win32 and platform/linux.
#pragma once

#include <chrono>
#include <cstdint>

#include "errors/platform_error.h"

namespace vorel::platform {

// The calling thread's last system error (GetLastError on Windows; on Linux
// the Windows-style code that the backend stored with set_last_error).
int32_t last_error();
void set_last_error(int32_t code);

// The calling thread's last OS error for file and thread operations
// (GetLastError on Windows, errno on Linux).
int32_t last_os_error();

// Takes the calling thread's current error information, leaving none
// (GetErrorInfo on Windows).
ErrorInfoPtr take_thread_error_info();

// Makes `info` the calling thread's current error information, giving up our
// reference (SetErrorInfo on Windows).
void set_thread_error_info(ErrorInfoPtr info);

// Clears what thread_creation_error() reads; call it just before making a
// thread (SetLastError(0) on Windows).
void begin_thread_creation();
// The OS error code to report when the C++ runtime could not make a thread
// and gave `errno_value`: on Windows the system's own code (the thread's last
// error, or the nearest code to the runtime's errno-style value), so that it
// renders with the system's text; elsewhere `errno_value` itself.
int32_t thread_creation_error(int errno_value);

// Whether a wait on the calling thread must keep answering the messages that
// other threads send to its windows: true for a Windows thread that owns
// windows (a worker grabbing one of them waits for that answer, and would
// otherwise wait for the waiter forever); never on Linux.
bool must_answer_sent_messages();
// Answers the messages that other threads have sent to the calling thread's
// windows; posted messages and input stay queued.
void answer_sent_messages();

// Names the calling thread for debuggers and profilers (Linux keeps the
// first 15 bytes).
void set_current_thread_name(const char* name);

// Sleeps for `duration` on the monotonic clock, as precisely as the platform
// allows (a high-resolution waitable timer on Windows), never shorter.
void precise_sleep(std::chrono::nanoseconds duration);

}  // namespace vorel::platform
