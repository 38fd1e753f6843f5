// Texts other X clients and the sound server hand over as UTF-8 (titles,
// monitor and device names) or Latin-1: any bytes at all.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "text_oracle.h"
#include "util/text.h"

using namespace vorel;
using namespace vorel::fuzz;

namespace {

std::u16string ascii_of(std::u16string_view t) {
  std::u16string out;
  for (char16_t u : t) {
    if (u < 0x80) out.push_back(u);
  }
  return out;
}

std::u16string ascii_of(std::string_view s) {
  std::u16string out;
  for (char c : s) {
    if (static_cast<unsigned char>(c) < 0x80) out.push_back(static_cast<char16_t>(c));
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  const std::u16string text = utf8_to_utf16_lossy(bytes);
  VOREL_FUZZ_CHECK(is_valid_utf16(text));
  VOREL_FUZZ_CHECK(text.size() <= bytes.size());
  // A broken sequence never swallows an ASCII byte (NUL included), and the
  // decoder makes up none.
  VOREL_FUZZ_CHECK(ascii_of(text) == ascii_of(bytes));
  // Valid input comes back unchanged; invalid input shows as at least one
  // U+FFFD beyond those it spelled out.
  const size_t spelled = count_substr(bytes, "\xEF\xBF\xBD");
  if (is_valid_utf8(bytes)) {
    const std::optional<std::string> back = utf16_to_utf8_strict(text);
    VOREL_FUZZ_CHECK(back.has_value() && *back == bytes);
    VOREL_FUZZ_CHECK(count_of(text, u'\uFFFD') == spelled);
  } else {
    VOREL_FUZZ_CHECK(count_of(text, u'\uFFFD') > spelled);
  }
  // Decoding what it decoded to changes nothing.
  VOREL_FUZZ_CHECK(utf8_to_utf16_lossy(utf16_to_utf8_lossy(text)) == text);

  // Latin-1: one unit per byte, the byte's own value.
  const std::u16string latin1 = latin1_to_utf16(bytes);
  VOREL_FUZZ_CHECK(latin1.size() == bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) {
    VOREL_FUZZ_CHECK(latin1[i] == static_cast<unsigned char>(bytes[i]));
  }
  const std::optional<std::string> latin1_utf8 = utf16_to_utf8_strict(latin1);
  VOREL_FUZZ_CHECK(latin1_utf8.has_value() && is_valid_utf8(*latin1_utf8));
  return 0;
}
