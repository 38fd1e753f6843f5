#include "errors/platform_error.h"

#include "errors/messages.h"
#include "util/text.h"

namespace vorel {
namespace {

class TextErrorInfo final : public ErrorInfo {
 public:
  explicit TextErrorInfo(std::u16string text) : text_(std::move(text)) {}
  std::optional<RestrictedErrorDetails> restricted_details() const override { return std::nullopt; }
  std::optional<std::u16string> description() const override { return text_; }

 private:
  std::u16string text_;
};

bool non_empty(const std::optional<std::u16string>& s) { return s && !s->empty(); }

// The message of the error information: the restricted description when it is
// there and not empty, else the description; failing both, GetDescription.
std::u16string info_message(const ErrorInfo& info) {
  if (auto details = info.restricted_details()) {
    if (non_empty(details->restricted_description)) return *details->restricted_description;
    if (non_empty(details->description)) return *details->description;
  }
  return info.description().value_or(std::u16string());
}

}  // namespace

ErrorInfoPtr make_text_error_info(std::u16string description) {
  return std::make_unique<TextErrorInfo>(std::move(description));
}

PlatformError PlatformError::null_result() { return PlatformError(std::nullopt, nullptr); }

PlatformError PlatformError::from_win32(int32_t error) {
  if (error == 0) return PlatformError(std::nullopt, nullptr);
  return PlatformError(hresult_from_win32(error), nullptr);
}

PlatformError PlatformError::with_info(std::optional<int32_t> code, ErrorInfoPtr info) {
  return PlatformError(code, std::move(info));
}

std::string PlatformError::render(const MessageSource& messages) const {
  const auto code = static_cast<uint32_t>(code_or_ok());
  std::u16string raw = info_ ? info_message(*info_) : messages.hresult_message(code);
  std::string message = utf16_to_utf8_lossy(trim_trailing_whitespace(raw));
  if (message.empty()) return format_code(code);
  return message + " (" + format_code(code) + ")";
}

}  // namespace vorel
