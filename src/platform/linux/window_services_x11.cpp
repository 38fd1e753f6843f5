// Window and monitor services on X11.
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
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/kernel.h"
#include "platform/linux/capture_surface_x11.h"
#include "platform/linux/x11_connection.h"
#include "platform/linux/x11_text.h"
#include "platform/window_services.h"
#include "util/text.h"

namespace vorel::platform {
namespace {

using x11::Atom;
using x11::TextEncoding;
using x11::decode_text;
using x11::wm_class_class;
using x11::X11Connection;
using x11::XcbPtr;
using x11::take_reply;

// Windows codes for what went wrong, so that failures render as on Windows.
constexpr int32_t kErrorInvalidWindowHandle = 1400;
constexpr int32_t kErrorInvalidMonitorHandle = 1461;
// RPC_S_SERVER_UNAVAILABLE: no display, or the X server went away.
constexpr int32_t kErrorServerUnavailable = 1722;

// ICCCM WM_STATE: a window manager keeps it on each client it manages.
constexpr uint32_t kIconicState = 3;

// Property sizes asked for, in 32-bit units: far beyond any real title or
// class, while a hostile property cannot make us read megabytes.
constexpr uint32_t kMaxTextLongs = 1u << 16;
constexpr uint32_t kMaxWindowListLongs = 1u << 20;

// What one call can ask about a fetched window; see facts_for().
enum Question : uint8_t {
  kAskTitleLength = 1,
  kAskTitle = 2,
  kAskClass = 4,
  kAskPid = 8,
  kAskVisible = 16,
};

// One window as the server described it.
struct WindowFacts {
  xcb_window_t id = XCB_WINDOW_NONE;
  bool exists = false;  // its attributes could be read
  bool viewable = false;
  std::u16string title;
  std::u16string class_name;
  std::optional<uint32_t> pid;
  uint8_t answered = 0;  // Question bits already used up
};

bool is_window_id(WindowHandle handle) { return handle >= 1 && handle <= 0xFFFFFFFF; }

std::optional<std::string_view> bytes_of(const xcb_get_property_reply_t* reply) {
  if (reply == nullptr || reply->format != 8) return std::nullopt;
  return std::string_view(static_cast<const char*>(xcb_get_property_value(reply)),
                          static_cast<size_t>(xcb_get_property_value_length(reply)));
}

std::vector<xcb_window_t> windows_of(const xcb_get_property_reply_t* reply) {
  if (reply == nullptr || reply->type != XCB_ATOM_WINDOW || reply->format != 32) return {};
  const auto* ids = static_cast<const xcb_window_t*>(xcb_get_property_value(reply));
  return std::vector<xcb_window_t>(ids, ids + xcb_get_property_value_length(reply) / 4);
}

// The encoding of a text property, by its type.
TextEncoding encoding_of(const X11Connection& x, xcb_atom_t type) {
  if (type == XCB_ATOM_STRING) return TextEncoding::kLatin1;
  if (type == x.atom(Atom::kUtf8String)) return TextEncoding::kUtf8;
  if (type == x.atom(Atom::kCompoundText)) return TextEncoding::kCompoundText;
  return TextEncoding::kNone;
}

// The requests describing a set of windows, all sent before any reply is
// read. Replies not collected are discarded when the batch goes away.
class FactsBatch {
 public:
  FactsBatch(const X11Connection& x, std::vector<xcb_window_t> windows)
      : x_(x), windows_(std::move(windows)) {
    xcb_connection_t* c = x_.get();
    pending_.reserve(windows_.size());
    for (xcb_window_t w : windows_) {
      pending_.push_back(Pending{
          xcb_get_window_attributes(c, w),
          xcb_get_property(c, 0, w, x_.atom(Atom::kNetWmName), x_.atom(Atom::kUtf8String), 0,
                           kMaxTextLongs),
          xcb_get_property(c, 0, w, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, kMaxTextLongs),
          xcb_get_property(c, 0, w, XCB_ATOM_WM_CLASS, XCB_GET_PROPERTY_TYPE_ANY, 0,
                           kMaxTextLongs),
          xcb_get_property(c, 0, w, x_.atom(Atom::kNetWmPid), XCB_ATOM_CARDINAL, 0, 1),
      });
    }
  }

  FactsBatch(const FactsBatch&) = delete;
  FactsBatch& operator=(const FactsBatch&) = delete;

  ~FactsBatch() {
    for (size_t i = collected_; i < pending_.size(); ++i) {
      const Pending& p = pending_[i];
      for (unsigned int sequence : {p.attributes.sequence, p.net_wm_name.sequence,
                                    p.wm_name.sequence, p.wm_class.sequence, p.pid.sequence}) {
        xcb_discard_reply(x_.get(), sequence);
      }
    }
  }

  std::vector<WindowFacts> collect() {
    std::vector<WindowFacts> facts;
    facts.reserve(pending_.size());
    for (; collected_ < pending_.size(); ++collected_) {
      facts.push_back(collect_one(windows_[collected_], pending_[collected_]));
    }
    return facts;
  }

 private:
  struct Pending {
    xcb_get_window_attributes_cookie_t attributes;
    xcb_get_property_cookie_t net_wm_name;
    xcb_get_property_cookie_t wm_name;
    xcb_get_property_cookie_t wm_class;
    xcb_get_property_cookie_t pid;
  };

  WindowFacts collect_one(xcb_window_t window, const Pending& p) const {
    xcb_connection_t* c = x_.get();
    auto attributes = take_reply(c, xcb_get_window_attributes_reply, p.attributes);
    auto net_wm_name = take_reply(c, xcb_get_property_reply, p.net_wm_name);
    auto wm_name = take_reply(c, xcb_get_property_reply, p.wm_name);
    auto wm_class = take_reply(c, xcb_get_property_reply, p.wm_class);
    auto pid = take_reply(c, xcb_get_property_reply, p.pid);

    WindowFacts f;
    f.id = window;
    f.exists = attributes != nullptr;
    if (!f.exists) return f;
    f.viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE;

    // The EWMH title wins when set; an empty one defers to WM_NAME.
    std::optional<std::string_view> utf8_title = bytes_of(net_wm_name.get());
    if (utf8_title && !utf8_title->empty() && net_wm_name->type == x_.atom(Atom::kUtf8String)) {
      f.title = utf8_to_utf16_lossy(*utf8_title);
    } else if (std::optional<std::string_view> legacy = bytes_of(wm_name.get())) {
      f.title = decode_text(encoding_of(x_, wm_name->type), *legacy);
    }

    // WM_CLASS holds "instance\0class\0"; the class is the second string.
    if (std::optional<std::string_view> bytes = bytes_of(wm_class.get())) {
      f.class_name = decode_text(encoding_of(x_, wm_class->type), wm_class_class(*bytes));
    }

    if (pid && pid->type == XCB_ATOM_CARDINAL && pid->format == 32 &&
        xcb_get_property_value_length(pid.get()) >= 4) {
      uint32_t value = 0;
      std::memcpy(&value, xcb_get_property_value(pid.get()), sizeof value);
      f.pid = value;
    }
    return f;
  }

  const X11Connection& x_;
  std::vector<xcb_window_t> windows_;
  std::vector<Pending> pending_;
  size_t collected_ = 0;
};

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
  std::optional<std::vector<WindowFacts>> fetch_top_level();
  std::optional<std::vector<MonitorInfoEx>> fetch_monitors();
  WindowFacts fetch_one(xcb_window_t window);
  const WindowFacts* facts_for(WindowHandle window, Question question);

  xcb_atom_t wm_state_atom();

  std::shared_ptr<X11Connection> connection_;  // null without a display; shared with surfaces
  xcb_atom_t wm_state_ = XCB_ATOM_NONE;        // interned on first use
  WindowFacts* visiting_ = nullptr;            // the window the enumeration is visiting
  WindowFacts direct_;                         // the last window fetched on its own
  std::vector<MonitorInfoEx> monitors_;        // the last monitor enumeration
};

std::optional<std::vector<WindowFacts>> X11WindowServices::fetch_top_level() {
  xcb_connection_t* c = connection_->get();
  const xcb_window_t root = connection_->root();
  const xcb_atom_t wm_check_atom = connection_->atom(Atom::kNetSupportingWmCheck);

  auto check_cookie = xcb_get_property(c, 0, root, wm_check_atom, XCB_ATOM_WINDOW, 0, 1);
  auto clients_cookie = xcb_get_property(c, 0, root, connection_->atom(Atom::kNetClientList),
                                         XCB_ATOM_WINDOW, 0, kMaxWindowListLongs);
  auto tree_cookie = xcb_query_tree(c, root);
  auto check = take_reply(c, xcb_get_property_reply, check_cookie);
  auto clients = take_reply(c, xcb_get_property_reply, clients_cookie);
  auto tree = take_reply(c, xcb_query_tree_reply, tree_cookie);
  if (!tree) return std::nullopt;  // the root always answers unless the server is gone

  const std::vector<xcb_window_t> manager = windows_of(check.get());
  if (!manager.empty() && manager[0] != XCB_WINDOW_NONE && clients &&
      clients->type == XCB_ATOM_WINDOW) {
    // A manager that died can leave its properties behind: it is alive when
    // its own window names itself. Ask that together with the clients'
    // facts, betting on the usual answer.
    auto own_check_cookie =
        xcb_get_property(c, 0, manager[0], wm_check_atom, XCB_ATOM_WINDOW, 0, 1);
    FactsBatch batch(*connection_, windows_of(clients.get()));
    auto own_check = take_reply(c, xcb_get_property_reply, own_check_cookie);
    const std::vector<xcb_window_t> own = windows_of(own_check.get());
    if (!own.empty() && own[0] == manager[0]) {
      std::vector<WindowFacts> facts = batch.collect();
      if (!connection_->alive()) return std::nullopt;
      return facts;
    }
  }

  // QueryTree lists children bottom to top.
  const xcb_window_t* children = xcb_query_tree_children(tree.get());
  std::vector<xcb_window_t> top_first(children,
                                      children + xcb_query_tree_children_length(tree.get()));
  std::reverse(top_first.begin(), top_first.end());
  FactsBatch batch(*connection_, std::move(top_first));
  std::vector<WindowFacts> facts = batch.collect();
  if (!connection_->alive()) return std::nullopt;
  return facts;
}

WindowFacts X11WindowServices::fetch_one(xcb_window_t window) {
  FactsBatch batch(*connection_, {window});
  std::vector<WindowFacts> facts = batch.collect();
  return std::move(facts.front());
}

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
    direct_ = fetch_one(id);
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
  std::optional<std::vector<WindowFacts>> windows = fetch_top_level();
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

// Copies at most count - 1 units and a NUL, as the Windows calls do.
int32_t copy_text(const std::u16string& text, char16_t* buffer, int32_t count) {
  const size_t n = std::min(text.size(), static_cast<size_t>(count) - 1);
  std::copy_n(text.data(), n, buffer);
  buffer[n] = u'\0';
  return static_cast<int32_t>(n);
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
  direct_ = fetch_one(static_cast<xcb_window_t>(window));
  return direct_.exists;
}

MonitorInfoEx make_monitor(std::u16string_view name, int32_t x, int32_t y, int32_t width,
                           int32_t height, bool primary) {
  MonitorInfoEx m;
  m.monitor = Rect{x, y, x + width, y + height};
  m.work = m.monitor;
  m.flags = primary ? kMonitorPrimary : 0;
  // szDevice keeps 31 units and a NUL; a surrogate pair is never split.
  size_t n = std::min<size_t>(name.size(), std::size(m.device) - 1);
  if (n < name.size() && n > 0 && name[n - 1] >= 0xD800 && name[n - 1] <= 0xDBFF) --n;
  std::copy_n(name.data(), n, m.device);
  return m;
}

std::optional<std::vector<MonitorInfoEx>> X11WindowServices::fetch_monitors() {
  xcb_connection_t* c = connection_->get();
  std::vector<MonitorInfoEx> monitors;
  if (connection_->has_extension(&xcb_randr_id)) {
    // The version goes first: the server answers GetMonitors (RandR 1.5)
    // according to the version the client announced.
    xcb_discard_reply(c, xcb_randr_query_version(c, 1, 6).sequence);
    auto monitors_cookie = xcb_randr_get_monitors(c, connection_->root(), 1);
    auto reply = take_reply(c, xcb_randr_get_monitors_reply, monitors_cookie);
    if (reply) {
      std::vector<const xcb_randr_monitor_info_t*> infos;
      std::vector<xcb_get_atom_name_cookie_t> names;
      for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
           xcb_randr_monitor_info_next(&it)) {
        infos.push_back(it.data);
        names.push_back(xcb_get_atom_name(c, it.data->name));
      }
      for (size_t i = 0; i < infos.size(); ++i) {
        auto name = take_reply(c, xcb_get_atom_name_reply, names[i]);
        std::u16string text;
        if (name) {
          text = utf8_to_utf16_lossy(std::string_view(
              xcb_get_atom_name_name(name.get()),
              static_cast<size_t>(xcb_get_atom_name_name_length(name.get()))));
        }
        const xcb_randr_monitor_info_t& m = *infos[i];
        monitors.push_back(make_monitor(text, m.x, m.y, m.width, m.height, m.primary != 0));
      }
    }
  }
  if (!connection_->alive()) return std::nullopt;
  if (monitors.empty()) {
    const xcb_screen_t& screen = connection_->screen();
    monitors.push_back(
        make_monitor(u"SCREEN", 0, 0, screen.width_in_pixels, screen.height_in_pixels, true));
  }
  return monitors;
}

bool X11WindowServices::enum_display_monitors(FunctionRef<bool(MonitorHandle)> visit) {
  monitors_.clear();
  if (!connected()) {
    set_last_error(kErrorServerUnavailable);
    return false;
  }
  std::optional<std::vector<MonitorInfoEx>> monitors = fetch_monitors();
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

// An X window has no frame of its own (a window manager's frame is another
// window), so the client area is the whole window inside its border. An
// iconified window has none, as a minimised one has none on Windows; a
// window that is merely unmapped keeps its size.
bool X11WindowServices::get_client_rect(WindowHandle window, Rect* rect) {
  if (!is_window_id(window) || !connected()) {
    set_last_error(kErrorInvalidWindowHandle);
    return false;
  }
  xcb_connection_t* c = connection_->get();
  const auto id = static_cast<xcb_window_t>(window);
  const xcb_atom_t wm_state = wm_state_atom();
  // Attributes only to tell a window from other drawables, which have a
  // geometry too.
  auto attributes_cookie = xcb_get_window_attributes(c, id);
  auto geometry_cookie = xcb_get_geometry(c, id);
  auto state_cookie = xcb_get_property(c, 0, id, wm_state, wm_state, 0, 1);
  auto attributes = take_reply(c, xcb_get_window_attributes_reply, attributes_cookie);
  auto geometry = take_reply(c, xcb_get_geometry_reply, geometry_cookie);
  auto state = take_reply(c, xcb_get_property_reply, state_cookie);
  if (!attributes || !geometry) {
    set_last_error(kErrorInvalidWindowHandle);
    return false;
  }
  uint32_t state_value = 0;
  if (state && state->format == 32 && xcb_get_property_value_length(state.get()) >= 4) {
    std::memcpy(&state_value, xcb_get_property_value(state.get()), sizeof state_value);
  }
  if (rect != nullptr) {
    *rect = state_value == kIconicState ? Rect{} : Rect{0, 0, geometry->width, geometry->height};
  }
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
