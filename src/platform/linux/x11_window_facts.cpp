#include "platform/linux/x11_window_facts.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "util/text.h"

namespace vorel::platform::x11 {
namespace {

// Property sizes asked for, in 32-bit units: far beyond any real title or
// class, while a hostile property cannot make us read megabytes.
constexpr uint32_t kMaxTextLongs = 1u << 16;
constexpr uint32_t kMaxWindowListLongs = 1u << 20;

// The bytes of a property of 8-bit items: the only format text comes in.
std::optional<std::string_view> text_bytes(const std::optional<PropertyValue>& value) {
  if (!value || value->format != 8) return std::nullopt;
  return value->bytes;
}

std::vector<xcb_window_t> windows_of(const xcb_get_property_reply_t* reply) {
  if (reply == nullptr || reply->type != XCB_ATOM_WINDOW || reply->format != 32) return {};
  const auto* ids = static_cast<const xcb_window_t*>(xcb_get_property_value(reply));
  return std::vector<xcb_window_t>(ids, ids + xcb_get_property_value_length(reply) / 4);
}

}  // namespace

std::optional<PropertyValue> property_value(const xcb_get_property_reply_t* reply) {
  if (reply == nullptr) return std::nullopt;
  return PropertyValue{
      reply->type, reply->format,
      std::string_view(static_cast<const char*>(xcb_get_property_value(reply)),
                       static_cast<size_t>(xcb_get_property_value_length(reply)))};
}

TextTypes text_types(const X11Connection& x) {
  return TextTypes{x.atom(Atom::kUtf8String), x.atom(Atom::kCompoundText)};
}

TextEncoding encoding_of(const TextTypes& types, xcb_atom_t type) {
  if (type == XCB_ATOM_STRING) return TextEncoding::kLatin1;
  if (type == types.utf8_string) return TextEncoding::kUtf8;
  if (type == types.compound_text) return TextEncoding::kCompoundText;
  return TextEncoding::kNone;
}

std::u16string title_from(const TextTypes& types, const std::optional<PropertyValue>& net_wm_name,
                          const std::optional<PropertyValue>& wm_name) {
  // The EWMH title wins when set; an empty one defers to WM_NAME.
  const std::optional<std::string_view> utf8_title = text_bytes(net_wm_name);
  if (utf8_title && !utf8_title->empty() && net_wm_name->type == types.utf8_string) {
    return utf8_to_utf16_lossy(*utf8_title);
  }
  if (const std::optional<std::string_view> legacy = text_bytes(wm_name)) {
    return decode_text(encoding_of(types, wm_name->type), *legacy);
  }
  return {};
}

std::u16string class_from(const TextTypes& types, const std::optional<PropertyValue>& wm_class) {
  // WM_CLASS holds "instance\0class\0"; the class is the second string.
  if (const std::optional<std::string_view> bytes = text_bytes(wm_class)) {
    return decode_text(encoding_of(types, wm_class->type), wm_class_class(*bytes));
  }
  return {};
}

std::optional<uint32_t> pid_from(const std::optional<PropertyValue>& net_wm_pid) {
  if (!net_wm_pid || net_wm_pid->type != XCB_ATOM_CARDINAL || net_wm_pid->format != 32 ||
      net_wm_pid->bytes.size() < sizeof(uint32_t)) {
    return std::nullopt;
  }
  uint32_t value = 0;
  std::memcpy(&value, net_wm_pid->bytes.data(), sizeof value);
  return value;
}

Rect client_rect_from(uint16_t width, uint16_t height, std::optional<uint32_t> wm_state) {
  if (wm_state == kIconicState) return Rect{};
  return Rect{0, 0, width, height};
}

FactsBatch::FactsBatch(const X11Connection& x, std::vector<xcb_window_t> windows)
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

FactsBatch::~FactsBatch() {
  for (size_t i = collected_; i < pending_.size(); ++i) {
    const Pending& p = pending_[i];
    for (unsigned int sequence : {p.attributes.sequence, p.net_wm_name.sequence,
                                  p.wm_name.sequence, p.wm_class.sequence, p.pid.sequence}) {
      xcb_discard_reply(x_.get(), sequence);
    }
  }
}

std::vector<WindowFacts> FactsBatch::collect() {
  std::vector<WindowFacts> facts;
  facts.reserve(pending_.size());
  for (; collected_ < pending_.size(); ++collected_) {
    facts.push_back(collect_one(windows_[collected_], pending_[collected_]));
  }
  return facts;
}

WindowFacts FactsBatch::collect_one(xcb_window_t window, const Pending& p) const {
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
  const TextTypes types = text_types(x_);
  f.title = title_from(types, property_value(net_wm_name.get()), property_value(wm_name.get()));
  f.class_name = class_from(types, property_value(wm_class.get()));
  f.pid = pid_from(property_value(pid.get()));
  return f;
}

std::optional<std::vector<WindowFacts>> fetch_top_level(const X11Connection& x) {
  xcb_connection_t* c = x.get();
  const xcb_window_t root = x.root();
  const xcb_atom_t wm_check_atom = x.atom(Atom::kNetSupportingWmCheck);

  auto check_cookie = xcb_get_property(c, 0, root, wm_check_atom, XCB_ATOM_WINDOW, 0, 1);
  auto clients_cookie = xcb_get_property(c, 0, root, x.atom(Atom::kNetClientList),
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
    FactsBatch batch(x, windows_of(clients.get()));
    auto own_check = take_reply(c, xcb_get_property_reply, own_check_cookie);
    const std::vector<xcb_window_t> own = windows_of(own_check.get());
    if (!own.empty() && own[0] == manager[0]) {
      std::vector<WindowFacts> facts = batch.collect();
      if (!x.alive()) return std::nullopt;
      return facts;
    }
  }

  // QueryTree lists children bottom to top.
  const xcb_window_t* children = xcb_query_tree_children(tree.get());
  std::vector<xcb_window_t> top_first(children,
                                      children + xcb_query_tree_children_length(tree.get()));
  std::reverse(top_first.begin(), top_first.end());
  FactsBatch batch(x, std::move(top_first));
  std::vector<WindowFacts> facts = batch.collect();
  if (!x.alive()) return std::nullopt;
  return facts;
}

WindowFacts fetch_one(const X11Connection& x, xcb_window_t window) {
  FactsBatch batch(x, {window});
  std::vector<WindowFacts> facts = batch.collect();
  return std::move(facts.front());
}

std::optional<Rect> read_client_rect(const X11Connection& x, xcb_window_t window,
                                     xcb_atom_t wm_state) {
  xcb_connection_t* c = x.get();
  // Attributes only to tell a window from other drawables, which have a
  // geometry too.
  auto attributes_cookie = xcb_get_window_attributes(c, window);
  auto geometry_cookie = xcb_get_geometry(c, window);
  auto state_cookie = xcb_get_property(c, 0, window, wm_state, wm_state, 0, 1);
  auto attributes = take_reply(c, xcb_get_window_attributes_reply, attributes_cookie);
  auto geometry = take_reply(c, xcb_get_geometry_reply, geometry_cookie);
  auto state = take_reply(c, xcb_get_property_reply, state_cookie);
  if (!attributes || !geometry) return std::nullopt;
  std::optional<uint32_t> state_value;
  if (state && state->format == 32 && xcb_get_property_value_length(state.get()) >= 4) {
    uint32_t value = 0;
    std::memcpy(&value, xcb_get_property_value(state.get()), sizeof value);
    state_value = value;
  }
  return client_rect_from(geometry->width, geometry->height, state_value);
}

}  // namespace vorel::platform::x11
