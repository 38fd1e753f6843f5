// Independent, deliberately plain re-statements of the text rules, for the
// fuzz targets to compare the decoders against. Any failed check aborts, so
// the fuzzer reports it with the input that caused it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace vorel::fuzz {

#define VOREL_FUZZ_CHECK(condition)                                            \
  do {                                                                         \
    if (!(condition)) {                                                        \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                            \
    }                                                                          \
  } while (0)

// Well-formed UTF-8 as the Unicode standard's table of byte sequences has it
// (no overlong forms, no surrogates, nothing past U+10FFFF).
inline bool is_valid_utf8(std::string_view s) {
  size_t i = 0;
  auto in = [&](size_t at, unsigned lo, unsigned hi) {
    if (at >= s.size()) return false;
    const auto b = static_cast<unsigned char>(s[at]);
    return b >= lo && b <= hi;
  };
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b <= 0x7F) {
      i += 1;
    } else if (b >= 0xC2 && b <= 0xDF) {
      if (!in(i + 1, 0x80, 0xBF)) return false;
      i += 2;
    } else if (b == 0xE0) {
      if (!in(i + 1, 0xA0, 0xBF) || !in(i + 2, 0x80, 0xBF)) return false;
      i += 3;
    } else if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF) {
      if (!in(i + 1, 0x80, 0xBF) || !in(i + 2, 0x80, 0xBF)) return false;
      i += 3;
    } else if (b == 0xED) {
      if (!in(i + 1, 0x80, 0x9F) || !in(i + 2, 0x80, 0xBF)) return false;
      i += 3;
    } else if (b == 0xF0) {
      if (!in(i + 1, 0x90, 0xBF) || !in(i + 2, 0x80, 0xBF) || !in(i + 3, 0x80, 0xBF)) return false;
      i += 4;
    } else if (b >= 0xF1 && b <= 0xF3) {
      if (!in(i + 1, 0x80, 0xBF) || !in(i + 2, 0x80, 0xBF) || !in(i + 3, 0x80, 0xBF)) return false;
      i += 4;
    } else if (b == 0xF4) {
      if (!in(i + 1, 0x80, 0x8F) || !in(i + 2, 0x80, 0xBF) || !in(i + 3, 0x80, 0xBF)) return false;
      i += 4;
    } else {
      return false;
    }
  }
  return true;
}

// Well-formed UTF-16: every high surrogate followed by a low one, no low
// surrogate alone.
inline bool is_valid_utf16(std::u16string_view t) {
  for (size_t i = 0; i < t.size(); ++i) {
    const char16_t u = t[i];
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 >= t.size() || t[i + 1] < 0xDC00 || t[i + 1] > 0xDFFF) return false;
      ++i;
    } else if (u >= 0xDC00 && u <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

inline void encode_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// UTF-16 to UTF-8 with every unpaired surrogate as U+FFFD.
inline std::string reference_utf16_to_utf8(std::u16string_view t) {
  std::string out;
  for (size_t i = 0; i < t.size(); ++i) {
    const uint32_t u = t[i];
    const bool high = u >= 0xD800 && u <= 0xDBFF;
    const bool paired = high && i + 1 < t.size() && t[i + 1] >= 0xDC00 && t[i + 1] <= 0xDFFF;
    if (paired) {
      encode_utf8(out, 0x10000 + ((u - 0xD800) << 10) + (uint32_t{t[i + 1]} - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      encode_utf8(out, 0xFFFD);
    } else {
      encode_utf8(out, u);
    }
  }
  return out;
}

template <class Text, class Unit>
size_t count_of(const Text& text, Unit unit) {
  size_t n = 0;
  for (auto c : text) n += c == unit ? 1 : 0;
  return n;
}

inline size_t count_substr(std::string_view s, std::string_view needle) {
  size_t n = 0;
  for (size_t at = s.find(needle); at != std::string_view::npos; at = s.find(needle, at + 1)) ++n;
  return n;
}

}  // namespace vorel::fuzz
