// Window titles and class names as Windows hands them over: any sequence of
// UTF-16 units, unpaired surrogates and NULs included.
#include <cstddef>
#include <cstdint>
#include <string>

#include "text_oracle.h"
#include "util/text.h"

using namespace vorel;
using namespace vorel::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::u16string text;
  for (size_t i = 0; i + 1 < size; i += 2) {
    text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }

  // What reaches Python: always well-formed UTF-8, and exactly the
  // reference conversion (so one U+FFFD per unpaired surrogate, and U+0000
  // only where the title had one).
  const std::string lossy = utf16_to_utf8_lossy(text);
  VOREL_FUZZ_CHECK(is_valid_utf8(lossy));
  VOREL_FUZZ_CHECK(lossy == reference_utf16_to_utf8(text));
  VOREL_FUZZ_CHECK(count_of(lossy, '\0') == count_of(text, u'\0'));

  // The strict form refuses exactly the texts with an unpaired surrogate,
  // and otherwise agrees with the lossy one and converts back unchanged.
  const std::optional<std::string> strict = utf16_to_utf8_strict(text);
  VOREL_FUZZ_CHECK(strict.has_value() == is_valid_utf16(text));
  if (strict) {
    VOREL_FUZZ_CHECK(*strict == lossy);
    VOREL_FUZZ_CHECK(utf8_to_utf16_lossy(*strict) == text);
  } else {
    VOREL_FUZZ_CHECK(count_substr(lossy, "\xEF\xBF\xBD") > count_of(text, u'\uFFFD'));
  }

  // Trimming keeps a prefix and removes only what it names.
  const std::u16string_view nuls = trim_trailing_nuls(text);
  VOREL_FUZZ_CHECK(std::u16string_view(text).substr(0, nuls.size()) == nuls);
  VOREL_FUZZ_CHECK(nuls.empty() || nuls.back() != u'\0');
  for (size_t i = nuls.size(); i < text.size(); ++i) VOREL_FUZZ_CHECK(text[i] == u'\0');
  const std::u16string_view spaces = trim_trailing_whitespace(text);
  VOREL_FUZZ_CHECK(std::u16string_view(text).substr(0, spaces.size()) == spaces);
  for (size_t i = spaces.size(); i < text.size(); ++i) {
    VOREL_FUZZ_CHECK(std::u16string_view(u"\t\n\v\f\r ").find(text[i]) != std::u16string_view::npos);
  }
  return 0;
}
