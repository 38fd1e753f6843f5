// A connection to the X server named by DISPLAY, shared by the Linux window
// services and the frame grabber: the connection itself, the default screen,
// the atoms the backend asks about, and helpers for XCB replies.
//
// Everything goes through XCB rather than Xlib. XCB hands protocol errors back
// with the reply instead of passing them to a process-wide handler, and a
// server that goes away only puts the connection into an error state, after
// which every request fails at once. libX11 (1.8) prints and exits in that
// case, and even with its per-display exit hook and a silent I/O handler,
// XCloseDisplay on a dead server still prints.
#pragma once

#include <xcb/xcb.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <memory>

namespace vorel::platform::x11 {

// Releases what XCB allocates for the caller (replies, errors) with free().
struct FreeDeleter {
  void operator()(void* p) const noexcept { std::free(p); }
};

template <class T>
using XcbPtr = std::unique_ptr<T, FreeDeleter>;

// Disconnects (and frees) a connection; xcb_connect returns one to release
// even when it failed.
struct ConnectionCloser {
  void operator()(xcb_connection_t* c) const noexcept { xcb_disconnect(c); }
};

using ConnectionPtr = std::unique_ptr<xcb_connection_t, ConnectionCloser>;

// Atoms interned once per connection, in one batch.
enum class Atom : size_t {
  kUtf8String,
  kCompoundText,
  kNetWmName,
  kNetWmPid,
  kNetClientList,
  kNetSupportingWmCheck,
  kCount,
};

class X11Connection {
 public:
  // Connects to the display named by DISPLAY and asks the server, in the
  // same round trip as the atoms, which of `extensions` it offers. nullptr
  // when DISPLAY is unset, the server cannot be reached, refuses us, or
  // goes away while we set up.
  static std::unique_ptr<X11Connection> open(
      std::initializer_list<xcb_extension_t*> extensions = {});

  // Only open() makes connections; the key lets it use make_unique.
  class Key {
    friend class X11Connection;
    Key() = default;
  };
  X11Connection(Key, ConnectionPtr connection, const xcb_screen_t* screen,
                const std::array<xcb_atom_t, static_cast<size_t>(Atom::kCount)>& atoms);
  ~X11Connection() = default;
  X11Connection(const X11Connection&) = delete;
  X11Connection& operator=(const X11Connection&) = delete;

  xcb_connection_t* get() const { return connection_.get(); }
  const xcb_screen_t& screen() const { return *screen_; }
  xcb_window_t root() const { return screen_->root; }
  xcb_atom_t atom(Atom atom) const { return atoms_[static_cast<size_t>(atom)]; }

  // False once the server went away or the connection broke; it never
  // recovers, and every later request fails without blocking.
  bool alive() const { return xcb_connection_has_error(connection_.get()) == 0; }

  // Whether the server offers `extension`. The first call for an extension
  // not named at open() costs a round trip; XCB remembers the answer.
  bool has_extension(xcb_extension_t* extension) const;

 private:
  ConnectionPtr connection_;
  const xcb_screen_t* screen_;  // inside the connection's setup data
  std::array<xcb_atom_t, static_cast<size_t>(Atom::kCount)> atoms_;
};

// Waits for the reply to `cookie`. An X error is dropped (the caller treats
// it like a missing answer), so errors never reach the event queue.
template <class Reply, class Cookie>
XcbPtr<Reply> take_reply(xcb_connection_t* connection,
                         Reply* (*reply_fn)(xcb_connection_t*, Cookie, xcb_generic_error_t**),
                         Cookie cookie) {
  xcb_generic_error_t* raw_error = nullptr;
  XcbPtr<Reply> reply(reply_fn(connection, cookie, &raw_error));
  XcbPtr<xcb_generic_error_t> error(raw_error);
  return reply;
}

// Drops the server's answer to a request without a reply: an error it
// causes is discarded instead of queued as an event.
inline void forget(xcb_connection_t* c, xcb_void_cookie_t cookie) {
  xcb_discard_reply(c, cookie.sequence);
}

// Waits until the server has carried out a checked request. A broken
// connection is a failure too, with no error code.
struct Outcome {
  bool ok;
  uint8_t error_code;
};

inline Outcome settle(xcb_connection_t* c, xcb_void_cookie_t cookie) {
  XcbPtr<xcb_generic_error_t> error(xcb_request_check(c, cookie));
  if (error) return {false, error->error_code};
  return {xcb_connection_has_error(c) == 0, 0};
}

}  // namespace vorel::platform::x11
