// Decoders for the text properties other X clients set on their windows
// (titles, class names). The bytes come from any process on the display, so
// every input is valid: what cannot be read becomes U+FFFD, nothing more.
#pragma once

#include <string>
#include <string_view>

namespace vorel::platform::x11 {

// How a text property's bytes are encoded, by its type atom.
enum class TextEncoding {
  kLatin1,        // STRING
  kUtf8,          // UTF8_STRING
  kCompoundText,  // COMPOUND_TEXT
  kNone,          // any other type: no text
};

// COMPOUND_TEXT, reduced to what can be read without charset tables: ASCII
// while G0 holds ASCII, U+FFFD for every other character byte. Escape and
// control sequences (charset switches, direction) are dropped.
std::u16string decode_compound_text(std::string_view bytes);

// A property's bytes as text in the given encoding; empty for kNone.
std::u16string decode_text(TextEncoding encoding, std::string_view bytes);

// The class of WM_CLASS ("instance\0class\0"): the second string, up to its
// NUL or the end; empty when there is no NUL after the instance.
std::string_view wm_class_class(std::string_view bytes);

}  // namespace vorel::platform::x11
