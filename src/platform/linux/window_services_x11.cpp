// Window and monitor services on X11: the Windows calls answered from what
// x11_window_facts and x11_monitors read.
//
// Top-level windows are the clients a live EWMH window manager publishes, or
// without one the root's children, top-most first (the order Windows reports
// them in). Monitors are the RandR monitors, or the whole screen as one.
//
// Listing windows asks for every window's attributes and properties in one
// pipelined batch; the per-window calls that the enumeration callback makes
// are then answered from that batch. Each fetched fact answers one call only:
// asking the same question again asks the server again, so nothing stale is
// served however long a session lives.
//
// Capture surfaces share the session's connection: see capture_surface_x11.h.
#include <xcb/composite.h>
#include <xcb/randr.h>
#include <xcb/shm.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/kernel.h"
#include "platform/linux/capture_surface_x11.h"
#include "platform/linux/x11_connection.h"
#include "platform/linux/x11_monitors.h"
#include "platform/linux/x11_window_facts.h"
#include "platform/window_services.h"

namespace vorel::platform {
namespace {

using x11::take_reply;
using x11::WindowFacts;
using x11::X11Connection;

// Windows codes for what went wrong, so that failures render as on Windows.
constexpr int32_t kErrorInvalidWindowHandle = 1400;
constexpr int32_t kErrorInvalidMonitorHandle = 1461;
// RPC_S_SERVER_UNAVAILABLE: no display, or the X server went away.
constexpr int32_t kErrorServerUnavailable = 1722;

// What one call can ask about a fetched window; see facts_for().
enum Question : uint8_t {
  kAskTitleLength = 1,
  kAskTitle = 2,
  kAskClass = 4,
  kAskPid = 8,
  kAskVisible = 16,
};

bool is_window_id(WindowHandle handle) { return handle >= 1 && handle <= 0xFFFFFFFF; }

// Copies at most count - 1 units and a NUL, as the Windows calls do.
int32_t copy_text(const std::u16string& text, char16_t* buffer, int32_t count) {
  const size_t n = std::min(text.size(), static_cast<size_t>(count) - 1);
  std::copy_n(text.data(), n, buffer);
  buffer[n] = u'\0';
  return static_cast<int32_t>(n);
}

class X11WindowServices final : public WindowServices {
 public:
  explicit X11WindowServices(std::shared_ptr<X11Connection> connection)
      : connection_(std::move(connection)) {}

  bool enum_windows(FunctionRef<bool(WindowHandle)> visit) override;
  int32_t get_window_text_length(WindowHandle window) override;
  int32_t get_window_text(WindowHandle window, char16_t* buffer, int32_t count) override;
  int32_t get_class_name(WindowHandle window, char16_t* buffer, int32_t count) override;
  void get_window_process_id(WindowHandle window, uint32_t* pid) override;
  bool is_window_visible(WindowHandle window) override;
  bool is_window(WindowHandle window) override;

  bool enum_display_monitors(FunctionRef<bool(MonitorHandle)> visit) override;
  bool get_monitor_info(MonitorHandle monitor, MonitorInfoEx* info) override;

  bool get_client_rect(WindowHandle window, Rect* rect) override;
  std::unique_ptr<CaptureSurface> create_capture_surface(const CaptureSource& source) override;

 private:
  bool connected() const { return connection_ != nullptr && connection_->alive(); }
  const WindowFacts* facts_for(WindowHandle window, Question question);

  xcb_atom_t wm_state_atom();

  std::shared_ptr<X11Connection> connection_;  // null without a display; shared with surfaces
  xcb_atom_t wm_state_ = XCB_ATOM_NONE;        // interned on first use
  WindowFacts* visiting_ = nullptr;            // the window the enumeration is visiting
  WindowFacts direct_;                         // the last window fetched on its own
  std::vector<MonitorInfoEx> monitors_;        // the last monitor enumeration
};

// The facts that answer `question` about `window`: the enumeration's batch
// while it visits that window, else the last window fetched on its own, else
// a fresh fetch. A fact already used for the same question is fetched again.
// Null (with the last error set) when the window does not exist.
const WindowFacts* X11WindowServices::facts_for(WindowHandle window, Question question) {
  if (!is_window_id(window) || !connected()) {
    set_last_error(kErrorInvalidWindowHandle);
    return nullptr;
  }
  const auto id = static_cast<xcb_window_t>(window);
  WindowFacts* facts = nullptr;
  if (visiting_ != nullptr && visiting_->id == id && (visiting_->answered & question) == 0) {
    facts = visiting_;
  } else if (direct_.id == id && (direct_.answered & question) == 0) {
    facts = &direct_;
  } else {
    direct_ = x11::fetch_one(*connection_, id);
    facts = &direct_;
  }
  facts->answered = static_cast<uint8_t>(facts->answered | question);
  if (!facts->exists) {
    set_last_error(kErrorInvalidWindowHandle);
    return nullptr;
  }
  return facts;
}

// Restores the visited window when an enumeration ends, however it ends.
class VisitScope {
 public:
  explicit VisitScope(WindowFacts*& slot) : slot_(slot), saved_(slot) {}
  VisitScope(const VisitScope&) = delete;
  VisitScope& operator=(const VisitScope&) = delete;
  ~VisitScope() { slot_ = saved_; }

 private:
  WindowFacts*& slot_;
  WindowFacts* saved_;
};

bool X11WindowServices::enum_windows(FunctionRef<bool(WindowHandle)> visit) {
  if (!connected()) {
    set_last_error(kErrorServerUnavailable);
    return false;
  }
  std::optional<std::vector<WindowFacts>> windows = x11::fetch_top_level(*connection_);
  if (!windows) {
    set_last_error(kErrorServerUnavailable);
    return false;
  }
  VisitScope scope(visiting_);
  for (WindowFacts& w : *windows) {
    if (!w.exists) continue;  // closed since it was listed
    visiting_ = &w;
    if (!visit(static_cast<WindowHandle>(w.id))) break;
  }
  return true;
}

int32_t X11WindowServices::get_window_text_length(WindowHandle window) {
  const WindowFacts* f = facts_for(window, kAskTitleLength);
  if (f == nullptr) return 0;
  return static_cast<int32_t>(std::min<size_t>(f->title.size(), INT32_MAX));
}

int32_t X11WindowServices::get_window_text(WindowHandle window, char16_t* buffer, int32_t count) {
  if (buffer == nullptr || count <= 0) return 0;
  const WindowFacts* f = facts_for(window, kAskTitle);
  if (f == nullptr) {
    buffer[0] = u'\0';
    return 0;
  }
  return copy_text(f->title, buffer, count);
}

int32_t X11WindowServices::get_class_name(WindowHandle window, char16_t* buffer, int32_t count) {
  if (buffer == nullptr || count <= 0) return 0;
  const WindowFacts* f = facts_for(window, kAskClass);
  if (f == nullptr) {
    buffer[0] = u'\0';
    return 0;
  }
  return copy_text(f->class_name, buffer, count);
}

void X11WindowServices::get_window_process_id(WindowHandle window, uint32_t* pid) {
  const WindowFacts* f = facts_for(window, kAskPid);
  if (f != nullptr && f->pid && pid != nullptr) *pid = *f->pid;
}

bool X11WindowServices::is_window_visible(WindowHandle window) {
  const WindowFacts* f = facts_for(window, kAskVisible);
  return f != nullptr && f->viewable;
}

bool X11WindowServices::is_window(WindowHandle window) {
  if (!is_window_id(window) || !connected()) return false;
  // Fetch everything at once: describing the window usually comes next.
  direct_ = x11::fetch_one(*connection_, static_cast<xcb_window_t>(window));
  return direct_.exists;
}

bool X11WindowServices::enum_display_monitors(FunctionRef<bool(MonitorHandle)> visit) {
  monitors_.clear();
  if (!connected()) {
    set_last_error(kErrorServerUnavailable);
    return false;
  }
  std::optional<std::vector<MonitorInfoEx>> monitors = x11::fetch_monitors(*connection_);
  if (!monitors) {
    set_last_error(kErrorServerUnavailable);
    return false;
  }
  monitors_ = std::move(*monitors);
  // Handles are positions counted from 1, so that no monitor is 0.
  const size_t count = monitors_.size();
  for (size_t i = 0; i < count; ++i) {
    if (!visit(static_cast<MonitorHandle>(i + 1))) break;
  }
  return true;
}

bool X11WindowServices::get_monitor_info(MonitorHandle monitor, MonitorInfoEx* info) {
  if (info == nullptr || monitor == 0 || monitor > monitors_.size()) {
    set_last_error(kErrorInvalidMonitorHandle);
    return false;
  }
  *info = monitors_[monitor - 1];
  return true;
}

xcb_atom_t X11WindowServices::wm_state_atom() {
  if (wm_state_ == XCB_ATOM_NONE) {
    xcb_connection_t* c = connection_->get();
    constexpr std::string_view kName = "WM_STATE";
    auto cookie = xcb_intern_atom(c, 0, static_cast<uint16_t>(kName.size()), kName.data());
    auto reply = take_reply(c, xcb_intern_atom_reply, cookie);
    if (reply) wm_state_ = reply->atom;
  }
  return wm_state_;
}

bool X11WindowServices::get_client_rect(WindowHandle window, Rect* rect) {
  if (!is_window_id(window) || !connected()) {
    set_last_error(kErrorInvalidWindowHandle);
    return false;
  }
  const std::optional<Rect> client =
      x11::read_client_rect(*connection_, static_cast<xcb_window_t>(window), wm_state_atom());
  if (!client) {
    set_last_error(kErrorInvalidWindowHandle);
    return false;
  }
  if (rect != nullptr) *rect = *client;
  return true;
}

std::unique_ptr<CaptureSurface> X11WindowServices::create_capture_surface(
    const CaptureSource& source) {
  return x11::create_capture_surface(connected() ? connection_ : nullptr, source);
}

}  // namespace

std::unique_ptr<WindowServices> open_window_services() {
  // Asking about every extension at once costs no extra round trip.
  return std::make_unique<X11WindowServices>(
      X11Connection::open({&xcb_randr_id, &xcb_shm_id, &xcb_composite_id}));
}

}  // namespace vorel::platform
