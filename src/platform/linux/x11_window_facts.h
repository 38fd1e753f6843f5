// What the window services read about X windows: the facts of a set of
// windows asked for in one pipelined batch (attributes, title, class, pid),
// the list of top-level windows, and a window's client area. The choices
// among the properties a window carries are plain functions of the replies.
#pragma once

#include <xcb/xcb.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/x11_connection.h"
#include "platform/linux/x11_text.h"
#include "platform/window_services.h"

namespace vorel::platform::x11 {

// One window as the server described it.
struct WindowFacts {
  xcb_window_t id = XCB_WINDOW_NONE;
  bool exists = false;  // its attributes could be read
  bool viewable = false;
  std::u16string title;
  std::u16string class_name;
  std::optional<uint32_t> pid;
  uint8_t answered = 0;  // what the services already answered from these facts
};

// A property as the server returned it: its type, its format (8, 16 or 32
// bits per item) and its bytes.
struct PropertyValue {
  xcb_atom_t type = XCB_ATOM_NONE;
  uint8_t format = 0;
  std::string_view bytes;
};

// The reply's property; nullopt when there is no reply. Views into `reply`.
std::optional<PropertyValue> property_value(const xcb_get_property_reply_t* reply);

// The atoms of the text types besides STRING, which has a fixed atom.
struct TextTypes {
  xcb_atom_t utf8_string = XCB_ATOM_NONE;
  xcb_atom_t compound_text = XCB_ATOM_NONE;
};

TextTypes text_types(const X11Connection& x);

// The encoding of a text property, by its type.
TextEncoding encoding_of(const TextTypes& types, xcb_atom_t type);

// The title: _NET_WM_NAME when it is non-empty UTF-8, else WM_NAME in the
// encoding its type names; empty when neither holds text.
std::u16string title_from(const TextTypes& types, const std::optional<PropertyValue>& net_wm_name,
                          const std::optional<PropertyValue>& wm_name);

// The class: the second string of WM_CLASS, in the encoding its type names.
std::u16string class_from(const TextTypes& types, const std::optional<PropertyValue>& wm_class);

// _NET_WM_PID when it is a 32-bit CARDINAL.
std::optional<uint32_t> pid_from(const std::optional<PropertyValue>& net_wm_pid);

// ICCCM WM_STATE's IconicState: a window manager keeps WM_STATE on each
// client it manages.
inline constexpr uint32_t kIconicState = 3;

// The client area of a window of the given size: an X window has no frame of
// its own (a window manager's frame is another window), so it is the whole
// window inside its border. An iconified window has none, as a minimised one
// has none on Windows; a window that is merely unmapped keeps its size.
Rect client_rect_from(uint16_t width, uint16_t height, std::optional<uint32_t> wm_state);

// The requests describing a set of windows, all sent before any reply is
// read. Replies not collected are discarded when the batch goes away.
class FactsBatch {
 public:
  FactsBatch(const X11Connection& x, std::vector<xcb_window_t> windows);
  FactsBatch(const FactsBatch&) = delete;
  FactsBatch& operator=(const FactsBatch&) = delete;
  ~FactsBatch();

  std::vector<WindowFacts> collect();

 private:
  struct Pending {
    xcb_get_window_attributes_cookie_t attributes;
    xcb_get_property_cookie_t net_wm_name;
    xcb_get_property_cookie_t wm_name;
    xcb_get_property_cookie_t wm_class;
    xcb_get_property_cookie_t pid;
  };

  WindowFacts collect_one(xcb_window_t window, const Pending& p) const;

  const X11Connection& x_;
  std::vector<xcb_window_t> windows_;
  std::vector<Pending> pending_;
  size_t collected_ = 0;
};

// The top-level windows, top-most first: the clients a live EWMH window
// manager publishes, or without one the root's children. nullopt when the
// server is gone.
std::optional<std::vector<WindowFacts>> fetch_top_level(const X11Connection& x);

// One window's facts, fetched on their own.
WindowFacts fetch_one(const X11Connection& x, xcb_window_t window);

// GetClientRect's answer for `window`, given the WM_STATE atom; nullopt when
// it is no window.
std::optional<Rect> read_client_rect(const X11Connection& x, xcb_window_t window,
                                     xcb_atom_t wm_state);

}  // namespace vorel::platform::x11
