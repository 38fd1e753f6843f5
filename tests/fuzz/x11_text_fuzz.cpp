// Text properties of X windows (WM_NAME, WM_CLASS) as any client may set
// them: the first byte picks the property type, the rest is its value.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/linux/x11_text.h"
#include "text_oracle.h"
#include "util/text.h"

using namespace vorel;
using namespace vorel::fuzz;
using namespace vorel::platform::x11;

namespace {

void check_compound_text(std::string_view bytes) {
  const std::u16string text = decode_compound_text(bytes);
  VOREL_FUZZ_CHECK(text.size() <= bytes.size());
  // Only what it can read (printable ASCII, tab, newline) or U+FFFD; never
  // a NUL, whatever the property held.
  for (char16_t u : text) {
    VOREL_FUZZ_CHECK((u >= 0x20 && u < 0x7F) || u == u'\t' || u == u'\n' || u == u'\uFFFD');
  }
  // Plain ASCII with no escapes is read as it is.
  bool plain = true;
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    plain = plain && ((b >= 0x20 && b < 0x7F) || b == '\t' || b == '\n');
  }
  if (plain) {
    VOREL_FUZZ_CHECK(text.size() == bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) VOREL_FUZZ_CHECK(text[i] == bytes[i]);
  }
  // A switch back to ASCII makes what follows readable, once the sequence
  // before it has ended.
  const std::string tail = std::string(bytes) + "\n\x1B(B" + "tail";
  const std::u16string decoded_tail = decode_compound_text(tail);
  VOREL_FUZZ_CHECK(decoded_tail.size() >= 4 &&
                   decoded_tail.substr(decoded_tail.size() - 4) == u"tail");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const auto encoding = static_cast<TextEncoding>(data[0] % 4);
  const std::string_view value(reinterpret_cast<const char*>(data + 1), size - 1);

  check_compound_text(value);

  // WM_CLASS: the class is the part between the first and second NUL.
  const std::string_view class_bytes = wm_class_class(value);
  VOREL_FUZZ_CHECK(class_bytes.find('\0') == std::string_view::npos);
  const size_t first_nul = value.find('\0');
  if (first_nul == std::string_view::npos) {
    VOREL_FUZZ_CHECK(class_bytes.empty());
  } else {
    VOREL_FUZZ_CHECK(value.substr(first_nul + 1, class_bytes.size()) == class_bytes);
    const size_t after = first_nul + 1 + class_bytes.size();
    VOREL_FUZZ_CHECK(after == value.size() || value[after] == '\0');
  }

  // Whatever the type, the text that reaches Python is well-formed UTF-8
  // and holds a NUL only where the property did.
  for (std::string_view part : {value, class_bytes}) {
    const std::u16string text = decode_text(encoding, part);
    VOREL_FUZZ_CHECK(is_valid_utf16(text));
    const std::string utf8 = utf16_to_utf8_lossy(text);
    VOREL_FUZZ_CHECK(is_valid_utf8(utf8));
    if (part.find('\0') == std::string_view::npos) {
      VOREL_FUZZ_CHECK(utf8.find('\0') == std::string::npos);
    }
    if (encoding == TextEncoding::kNone) VOREL_FUZZ_CHECK(text.empty());
  }
  return 0;
}
