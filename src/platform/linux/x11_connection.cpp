#include "platform/linux/x11_connection.h"

#include <cstring>
#include <iterator>
#include <utility>

namespace vorel::platform::x11 {
namespace {

constexpr const char* kAtomNames[] = {
    "UTF8_STRING",    "COMPOUND_TEXT",   "_NET_WM_NAME",
    "_NET_WM_PID",    "_NET_CLIENT_LIST", "_NET_SUPPORTING_WM_CHECK",
};
static_assert(std::size(kAtomNames) == static_cast<size_t>(Atom::kCount));

const xcb_screen_t* nth_screen(xcb_connection_t* c, int number) {
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; it.rem > 0; ++i, xcb_screen_next(&it)) {
    if (i == number) return it.data;
  }
  return nullptr;
}

}  // namespace

std::unique_ptr<X11Connection> X11Connection::open(
    std::initializer_list<xcb_extension_t*> extensions) {
  int screen_number = 0;
  ConnectionPtr c(xcb_connect(nullptr, &screen_number));
  if (xcb_connection_has_error(c.get()) != 0) return nullptr;
  const xcb_screen_t* screen = nth_screen(c.get(), screen_number);
  if (screen == nullptr) return nullptr;

  // One round trip for every atom and extension query.
  std::array<xcb_intern_atom_cookie_t, std::size(kAtomNames)> cookies{};
  for (size_t i = 0; i < cookies.size(); ++i) {
    cookies[i] = xcb_intern_atom(c.get(), 0, static_cast<uint16_t>(std::strlen(kAtomNames[i])),
                                 kAtomNames[i]);
  }
  for (xcb_extension_t* extension : extensions) xcb_prefetch_extension_data(c.get(), extension);

  std::array<xcb_atom_t, std::size(kAtomNames)> atoms{};
  for (size_t i = 0; i < cookies.size(); ++i) {
    XcbPtr<xcb_intern_atom_reply_t> reply = take_reply(c.get(), xcb_intern_atom_reply, cookies[i]);
    if (!reply) return nullptr;
    atoms[i] = reply->atom;
  }

  return std::make_unique<X11Connection>(Key(), std::move(c), screen, atoms);
}

X11Connection::X11Connection(Key, ConnectionPtr connection, const xcb_screen_t* screen,
                             const std::array<xcb_atom_t, static_cast<size_t>(Atom::kCount)>& atoms)
    : connection_(std::move(connection)), screen_(screen), atoms_(atoms) {}

bool X11Connection::has_extension(xcb_extension_t* extension) const {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection_.get(), extension);
  return data != nullptr && data->present != 0;
}

}  // namespace vorel::platform::x11
