#include "errors/io_error.h"

#include "errors/messages.h"
#include "util/text.h"

namespace vorel {

std::string IoError::render(const MessageSource& messages) const {
  switch (kind_) {
    case Kind::kWriteZero:
      return "failed to write whole buffer";
    case Kind::kNulInPath:
      return "strings passed to WinAPI cannot contain NULs";
    case Kind::kOs:
      break;
  }
  const std::string n = std::to_string(code_);
  auto looked_up = messages.os_error_message(code_);
  std::string message;
  if (!looked_up) {
    const MessageLookupFailure& f = looked_up.error();
    message = f.invalid_utf16 ? "OS Error " + n + " (FormatMessageW() returned invalid UTF-16)"
                              : "OS Error " + n + " (FormatMessageW() returned error " +
                                    std::to_string(f.error) + ")";
  } else {
    auto strict = utf16_to_utf8_strict(trim_trailing_whitespace(*looked_up));
    message = strict ? *strict : "OS Error " + n + " (FormatMessageW() returned invalid UTF-16)";
  }
  return message + " (os error " + n + ")";
}

}  // namespace vorel
