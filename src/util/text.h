// Conversions between the platform's UTF-16 texts and the UTF-8 texts that
// travel to Python, and the small text helpers every renderer needs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vorel {

// UTF-16 to UTF-8; each unpaired surrogate becomes U+FFFD.
std::string utf16_to_utf8_lossy(std::u16string_view text);

// UTF-16 to UTF-8; nullopt when the text holds an unpaired surrogate.
std::optional<std::string> utf16_to_utf8_strict(std::u16string_view text);

// UTF-8 to UTF-16; each invalid byte sequence becomes U+FFFD.
std::u16string utf8_to_utf16_lossy(std::string_view text);

// Latin-1 (ISO 8859-1) to UTF-16.
std::u16string latin1_to_utf16(std::string_view text);

// Removes trailing tab, line feed, vertical tab, form feed, carriage return
// and space characters.
std::u16string_view trim_trailing_whitespace(std::u16string_view text);

// Removes trailing U+0000 characters only.
std::u16string_view trim_trailing_nuls(std::u16string_view text);

// "0x" followed by exactly eight upper-case hexadecimal digits.
std::string format_code(uint32_t code);

// "0x" followed by lower-case hexadecimal digits without leading zeros.
std::string format_hex_lower(uint64_t value);

}  // namespace vorel
