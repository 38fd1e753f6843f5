#include "platform/linux/x11_text.h"

#include "util/text.h"

namespace vorel::platform::x11 {

std::u16string decode_compound_text(std::string_view bytes) {
  auto at = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  std::u16string out;
  bool g0_is_ascii = true;
  size_t i = 0;
  while (i < bytes.size()) {
    const unsigned char b = at(i);
    if (b == 0x1B || b == 0x9B) {
      // ESC: intermediates 0x20-0x2F, then one final byte. CSI (0x9B or
      // ESC [): parameters and intermediates 0x20-0x3F, then the final byte.
      const bool csi = b == 0x9B || (i + 1 < bytes.size() && bytes[i + 1] == '[');
      i += (b == 0x1B && csi) ? 2 : 1;
      const unsigned char last_inner = csi ? 0x3F : 0x2F;
      const size_t start = i;
      while (i < bytes.size() && at(i) >= 0x20 && at(i) <= last_inner) ++i;
      if (i >= bytes.size()) break;
      const std::string_view intermediates = bytes.substr(start, i - start);
      const char final_byte = bytes[i++];
      // "ESC ( F" and "ESC $ ( F" load G0 (the left half); "ESC ( B" is ASCII.
      if (!csi && (intermediates == "(" || intermediates == "$(" || intermediates == "$")) {
        g0_is_ascii = intermediates == "(" && final_byte == 'B';
      }
      continue;
    }
    ++i;
    const bool printable = b >= 0x20 && b < 0x7F && g0_is_ascii;
    out.push_back(printable || b == '\t' || b == '\n' ? static_cast<char16_t>(b) : u'\uFFFD');
  }
  return out;
}

std::u16string decode_text(TextEncoding encoding, std::string_view bytes) {
  switch (encoding) {
    case TextEncoding::kLatin1:
      return latin1_to_utf16(bytes);
    case TextEncoding::kUtf8:
      return utf8_to_utf16_lossy(bytes);
    case TextEncoding::kCompoundText:
      return decode_compound_text(bytes);
    case TextEncoding::kNone:
      break;
  }
  return {};
}

std::string_view wm_class_class(std::string_view bytes) {
  const size_t end_of_instance = bytes.find('\0');
  if (end_of_instance == std::string_view::npos) return {};
  const std::string_view rest = bytes.substr(end_of_instance + 1);
  return rest.substr(0, rest.find('\0'));
}

}  // namespace vorel::platform::x11
