// A connection to the PulseAudio server (pipewire-pulse serves the same
// protocol): one pa_mainloop driven by the thread that owns the audio
// session, no thread of its own, and the context connected on it. Every wait
// for the server is bounded, so a server that stops answering turns into an
// error instead of a hang.
//
// Failures become the HRESULT that a Core Audio caller would see in the same
// situation, with the server's own error string attached as the description:
//
//   situation                                         code
//   ------------------------------------------------  -------------------------------------
//   no server reachable (none running, connection     0x800706BA RPC_S_SERVER_UNAVAILABLE
//     refused, bad address, protocol mismatch)
//   the server refused us (access, authentication)    0x80070005 E_ACCESSDENIED
//   the client library could not allocate             0x8007000E E_OUTOFMEMORY
//   the server did not answer in time                 0x800705B4 ERROR_TIMEOUT
//   the connection died after it was ready            0x88890010 AUDCLNT_E_SERVICE_NOT_RUNNING
//   no default sink, or no sink by that name when     0x80070490 ERROR_NOT_FOUND
//     looking one up
//   a sink vanished under an endpoint or client, the  0x88890004 AUDCLNT_E_DEVICE_INVALIDATED
//     record stream failed or was killed
//   a format the record stream cannot take            0x88890008 AUDCLNT_E_UNSUPPORTED_FORMAT
//   calls out of order on an audio or capture client  AUDCLNT_E_NOT_INITIALIZED, _ALREADY_
//                                                     INITIALIZED, _NOT_STOPPED, _OUT_OF_ORDER,
//                                                     _INVALID_SIZE, _BUFFER_OPERATION_PENDING
//   an endpoint index past the collection's end       0x80070057 E_INVALIDARG
//   the main loop itself failed (poll error)          0x80004005 E_FAIL
#pragma once

#include <pulse/context.h>
#include <pulse/mainloop.h>
#include <pulse/operation.h>
#include <pulse/stream.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "errors/platform_error.h"
#include "util/function_ref.h"
#include "util/result.h"

namespace vorel::platform::pulse {

inline constexpr int32_t kEFail = static_cast<int32_t>(0x80004005u);
inline constexpr int32_t kEAccessDenied = static_cast<int32_t>(0x80070005u);
inline constexpr int32_t kEOutOfMemory = static_cast<int32_t>(0x8007000Eu);
inline constexpr int32_t kEInvalidArg = static_cast<int32_t>(0x80070057u);
inline constexpr int32_t kErrorNotFound = static_cast<int32_t>(0x80070490u);
inline constexpr int32_t kErrorTimeout = static_cast<int32_t>(0x800705B4u);
inline constexpr int32_t kServerUnavailable = static_cast<int32_t>(0x800706BAu);
inline constexpr int32_t kNotInitialized = static_cast<int32_t>(0x88890001u);
inline constexpr int32_t kAlreadyInitialized = static_cast<int32_t>(0x88890002u);
inline constexpr int32_t kDeviceInvalidated = static_cast<int32_t>(0x88890004u);
inline constexpr int32_t kNotStopped = static_cast<int32_t>(0x88890005u);
inline constexpr int32_t kOutOfOrder = static_cast<int32_t>(0x88890007u);
inline constexpr int32_t kUnsupportedFormat = static_cast<int32_t>(0x88890008u);
inline constexpr int32_t kInvalidSize = static_cast<int32_t>(0x88890009u);
inline constexpr int32_t kBufferOperationPending = static_cast<int32_t>(0x8889000Bu);
inline constexpr int32_t kServiceNotRunning = static_cast<int32_t>(0x88890010u);

// How long one exchange with the server (connecting, a query, starting or
// corking the stream) may take before it counts as failed.
inline constexpr std::chrono::seconds kServerTimeout{5};

// `code` with "what: detail" as the error's description.
PlatformError error_with_text(int32_t code, std::string_view what, std::string_view detail);
// `code` with "what: " and the client library's text for `pa_error`.
PlatformError pulse_error(int32_t code, std::string_view what, int pa_error);
// The error for a connection that is no longer ready, `pa_error` being the
// context's last error.
PlatformError connection_lost_error(std::string_view what, int pa_error);

struct MainloopFree {
  void operator()(pa_mainloop* m) const noexcept { pa_mainloop_free(m); }
};
// Disconnects before dropping our reference, so the socket closes now and
// not whenever the library lets go of the last reference.
struct ContextRelease {
  void operator()(pa_context* c) const noexcept {
    pa_context_disconnect(c);
    pa_context_unref(c);
  }
};
struct StreamRelease {
  void operator()(pa_stream* s) const noexcept {
    if (pa_stream_get_state(s) == PA_STREAM_READY || pa_stream_get_state(s) == PA_STREAM_CREATING)
      pa_stream_disconnect(s);
    pa_stream_unref(s);
  }
};
// An operation still running when we let go of it is cancelled first, so its
// callback can never run with user data that no longer exists.
struct OperationRelease {
  void operator()(pa_operation* o) const noexcept {
    if (pa_operation_get_state(o) == PA_OPERATION_RUNNING) pa_operation_cancel(o);
    pa_operation_unref(o);
  }
};

using MainloopPtr = std::unique_ptr<pa_mainloop, MainloopFree>;
using ContextPtr = std::unique_ptr<pa_context, ContextRelease>;
using StreamPtr = std::unique_ptr<pa_stream, StreamRelease>;
using OperationPtr = std::unique_ptr<pa_operation, OperationRelease>;

class PulseConnection {
 public:
  // Connects to the server the client library's configuration names
  // (PULSE_SERVER, client.conf, the user's runtime directory), never
  // starting one.
  static Result<std::shared_ptr<PulseConnection>, PlatformError> open();

  class Key {
    friend class PulseConnection;
    Key() = default;
  };
  PulseConnection(Key, MainloopPtr mainloop, ContextPtr context)
      : mainloop_(std::move(mainloop)), context_(std::move(context)) {}
  PulseConnection(const PulseConnection&) = delete;
  PulseConnection& operator=(const PulseConnection&) = delete;

  pa_context* context() const { return context_.get(); }
  bool ready() const { return pa_context_get_state(context_.get()) == PA_CONTEXT_READY; }

  // The error for a connection that is no longer ready.
  PlatformError lost(std::string_view what) const;
  // The error for a call the library refused (a null result): the context's
  // last error, or `lost` when the connection died.
  PlatformError refused(int32_t code, std::string_view what) const;

  // Waits for `op` to complete; false from the caller's callback is the
  // caller's to judge. A null `op` is the library's refusal.
  Status<PlatformError> complete(OperationPtr op, std::string_view what);

  // Dispatches events until `done()` holds; fails when the connection dies
  // or kServerTimeout passes first.
  Status<PlatformError> dispatch_until(FunctionRef<bool()> done, std::string_view what);

  // Handles whatever has arrived without blocking.
  Status<PlatformError> dispatch_pending(std::string_view what);

 private:
  enum class Wait { kDone, kTimedOut, kLoopFailed };
  Wait wait(FunctionRef<bool()> done, std::chrono::steady_clock::time_point deadline);

  // Declared first so it is released last: the context lives on it.
  MainloopPtr mainloop_;
  ContextPtr context_;
};

}  // namespace vorel::platform::pulse
