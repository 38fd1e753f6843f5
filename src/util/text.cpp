#include "util/text.h"

namespace vorel {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void append_utf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

bool is_high(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Walks the UTF-16 text; returns false at the first unpaired surrogate when
// `strict`, otherwise substitutes U+FFFD.
bool convert16(std::u16string_view text, std::string& out, bool strict) {
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t u = text[i];
    if (is_high(u) && i + 1 < text.size() && is_low(text[i + 1])) {
      char32_t cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                    (static_cast<char32_t>(text[i + 1]) - 0xDC00);
      append_utf8(out, cp);
      ++i;
    } else if (is_high(u) || is_low(u)) {
      if (strict) return false;
      append_utf8(out, kReplacement);
    } else {
      append_utf8(out, u);
    }
  }
  return true;
}

bool is_trailing_space(char16_t u) {
  return u == u'\t' || u == u'\n' || u == u'\v' || u == u'\f' || u == u'\r' || u == u' ';
}

}  // namespace

std::string utf16_to_utf8_lossy(std::u16string_view text) {
  std::string out;
  convert16(text, out, false);
  return out;
}

std::optional<std::string> utf16_to_utf8_strict(std::u16string_view text) {
  std::string out;
  if (!convert16(text, out, true)) return std::nullopt;
  return out;
}

std::u16string utf8_to_utf16_lossy(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80) {
      out.push_back(b0);
      ++i;
      continue;
    }
    size_t len;
    char32_t cp;
    char32_t min;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      len = 2; cp = b0 & 0x1F; min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      len = 3; cp = b0 & 0x0F; min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      len = 4; cp = b0 & 0x07; min = 0x10000;
    } else {
      out.push_back(static_cast<char16_t>(kReplacement));
      ++i;
      continue;
    }
    size_t k = 1;
    for (; k < len && i + k < n; ++k) {
      const auto b = static_cast<unsigned char>(text[i + k]);
      if ((b & 0xC0) != 0x80) break;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (k < len || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      // Maximal invalid prefix becomes one replacement character.
      out.push_back(static_cast<char16_t>(kReplacement));
      i += (k == 0 ? 1 : k);
      continue;
    }
    append_utf16(out, cp);
    i += len;
  }
  return out;
}

std::u16string latin1_to_utf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (char c : text) out.push_back(static_cast<unsigned char>(c));
  return out;
}

std::u16string_view trim_trailing_whitespace(std::u16string_view text) {
  size_t end = text.size();
  while (end > 0 && is_trailing_space(text[end - 1])) --end;
  return text.substr(0, end);
}

std::u16string_view trim_trailing_nuls(std::u16string_view text) {
  size_t end = text.size();
  while (end > 0 && text[end - 1] == 0) --end;
  return text.substr(0, end);
}

std::string format_code(uint32_t code) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) out.push_back(kDigits[(code >> shift) & 0xF]);
  return out;
}

std::string format_hex_lower(uint64_t value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  char buf[16];
  int n = 0;
  do {
    buf[n++] = kDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  std::string out = "0x";
  while (n > 0) out.push_back(buf[--n]);
  return out;
}

}  // namespace vorel
