// Thread names and sleeps on Linux.
#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cstring>

#include "platform/kernel.h"

namespace vorel::platform {

void begin_thread_creation() {}

int32_t thread_creation_error(int errno_value) { return errno_value; }

// X11 windows answer nobody's grabs: nothing to keep answering.
bool must_answer_sent_messages() { return false; }
void answer_sent_messages() {}

void set_current_thread_name(const char* name) {
  char truncated[16] = {};
  std::strncpy(truncated, name, sizeof truncated - 1);
  (void)pthread_setname_np(pthread_self(), truncated);
}

void precise_sleep(std::chrono::nanoseconds duration) {
  if (duration.count() <= 0) return;
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  const auto total = deadline.tv_nsec + duration.count() % 1'000'000'000;
  deadline.tv_sec += static_cast<time_t>(duration.count() / 1'000'000'000 + total / 1'000'000'000);
  deadline.tv_nsec = static_cast<long>(total % 1'000'000'000);
  // An absolute deadline makes a sleep interrupted by a signal resume for the
  // time left only.
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

}  // namespace vorel::platform
