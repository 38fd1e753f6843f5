#include "platform/linux/pulse_connection.h"

#include <pulse/error.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "util/text.h"

namespace vorel::platform::pulse {
namespace {

// The application name the server shows for our connection.
constexpr char kClientName[] = "vorel";

bool connecting(pa_context_state_t state) {
  return state == PA_CONTEXT_UNCONNECTED || state == PA_CONTEXT_CONNECTING ||
         state == PA_CONTEXT_AUTHORIZING || state == PA_CONTEXT_SETTING_NAME;
}

int32_t connect_failure_code(int pa_error) {
  switch (pa_error) {
    case PA_ERR_ACCESS:
    case PA_ERR_AUTHKEY:
      return kEAccessDenied;
    case PA_ERR_TIMEOUT:
      return kErrorTimeout;
    default:
      return kServerUnavailable;
  }
}

}  // namespace

PlatformError error_with_text(int32_t code, std::string_view what, std::string_view detail) {
  std::string text(what);
  text += ": ";
  text += detail;
  return PlatformError::with_info(code, make_text_error_info(utf8_to_utf16_lossy(text)));
}

PlatformError pulse_error(int32_t code, std::string_view what, int pa_error) {
  const char* detail = pa_strerror(pa_error);
  return error_with_text(code, what, detail != nullptr ? detail : "Unknown error code");
}

Result<std::shared_ptr<PulseConnection>, PlatformError> PulseConnection::open() {
  constexpr std::string_view kWhat = "Cannot connect to the sound server";
  MainloopPtr mainloop(pa_mainloop_new());
  if (!mainloop) return Err(pulse_error(kEOutOfMemory, kWhat, PA_ERR_INTERNAL));
  ContextPtr context(pa_context_new(pa_mainloop_get_api(mainloop.get()), kClientName));
  if (!context) return Err(pulse_error(kEOutOfMemory, kWhat, PA_ERR_INTERNAL));
  auto connection =
      std::make_shared<PulseConnection>(Key(), std::move(mainloop), std::move(context));
  pa_context* c = connection->context();

  if (pa_context_connect(c, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    const int e = pa_context_errno(c);
    return Err(pulse_error(connect_failure_code(e), kWhat, e));
  }
  const auto deadline = std::chrono::steady_clock::now() + kServerTimeout;
  switch (connection->wait([c] { return !connecting(pa_context_get_state(c)); }, deadline)) {
    case Wait::kDone:
      break;
    case Wait::kTimedOut:
      return Err(pulse_error(kErrorTimeout, kWhat, PA_ERR_TIMEOUT));
    case Wait::kLoopFailed:
      return Err(error_with_text(kEFail, kWhat, std::strerror(errno)));
  }
  if (!connection->ready()) {
    const int e = pa_context_errno(c);
    return Err(pulse_error(connect_failure_code(e), kWhat, e));
  }
  return connection;
}

PlatformError connection_lost_error(std::string_view what, int pa_error) {
  std::string text(what);
  text += ": the connection to the sound server was lost";
  return pulse_error(kServiceNotRunning, text, pa_error);
}

PlatformError PulseConnection::lost(std::string_view what) const {
  return connection_lost_error(what, pa_context_errno(context_.get()));
}

PlatformError PulseConnection::refused(int32_t code, std::string_view what) const {
  if (!ready()) return lost(what);
  return pulse_error(code, what, pa_context_errno(context_.get()));
}

Status<PlatformError> PulseConnection::complete(OperationPtr op, std::string_view what) {
  if (!op) return Err(refused(kEFail, what));
  pa_operation* o = op.get();
  auto waited =
      dispatch_until([o] { return pa_operation_get_state(o) != PA_OPERATION_RUNNING; }, what);
  if (!waited) return waited;
  // Cancelled by the library: the connection went down under the request.
  if (pa_operation_get_state(o) != PA_OPERATION_DONE) return Err(lost(what));
  return Unit{};
}

Status<PlatformError> PulseConnection::dispatch_until(FunctionRef<bool()> done,
                                                      std::string_view what) {
  const auto deadline = std::chrono::steady_clock::now() + kServerTimeout;
  bool broken = false;
  const auto until = [&] {
    if (done()) return true;
    broken = !ready();
    return broken;
  };
  switch (wait(until, deadline)) {
    case Wait::kDone:
      if (broken) return Err(lost(what));
      return Unit{};
    case Wait::kTimedOut:
      return Err(pulse_error(kErrorTimeout, what, PA_ERR_TIMEOUT));
    case Wait::kLoopFailed:
      return Err(error_with_text(kEFail, what, std::strerror(errno)));
  }
  return Unit{};
}

Status<PlatformError> PulseConnection::dispatch_pending(std::string_view what) {
  // Each dispatch may read only part of what the socket holds; a bounded
  // number of rounds keeps a flood from holding the caller here.
  constexpr int kMaxRounds = 64;
  for (int round = 0; round < kMaxRounds; ++round) {
    const int dispatched = pa_mainloop_iterate(mainloop_.get(), 0, nullptr);
    if (dispatched < 0) return Err(error_with_text(kEFail, what, std::strerror(errno)));
    if (dispatched == 0) break;
  }
  if (!ready()) return Err(lost(what));
  return Unit{};
}

PulseConnection::Wait PulseConnection::wait(FunctionRef<bool()> done,
                                            std::chrono::steady_clock::time_point deadline) {
  pa_mainloop* m = mainloop_.get();
  while (!done()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return Wait::kTimedOut;
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
    const auto timeout = static_cast<int>(std::min<std::chrono::microseconds::rep>(
        left.count() + 1, INT_MAX));
    if (pa_mainloop_prepare(m, timeout) < 0 || pa_mainloop_poll(m) < 0 ||
        pa_mainloop_dispatch(m) < 0) {
      return Wait::kLoopFailed;
    }
  }
  return Wait::kDone;
}

}  // namespace vorel::platform::pulse
