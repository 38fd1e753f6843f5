// The error value of a failed platform call (a COM or system call, or the
// Linux backend's equivalent), and its rendering into text.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vorel {

class MessageSource;

// What the restricted error-information interface reports; nullopt members
// stand for strings the platform did not hand back.
struct RestrictedErrorDetails {
  std::optional<std::u16string> description;
  std::optional<std::u16string> restricted_description;
};

// A thread's error-information object (IErrorInfo on Windows). Owned by the
// error value that took it and released with it.
class ErrorInfo {
 public:
  virtual ~ErrorInfo() = default;
  // nullopt when the object does not offer restricted details.
  virtual std::optional<RestrictedErrorDetails> restricted_details() const = 0;
  // The plain description; nullopt when the call fails or returns none.
  virtual std::optional<std::u16string> description() const = 0;
};

using ErrorInfoPtr = std::unique_ptr<ErrorInfo>;

// Error information that carries one fixed description; the Linux backend uses
// it to attach a server's own error string.
ErrorInfoPtr make_text_error_info(std::u16string description);

class PlatformError {
 public:
  // A call that reported success but handed back no object.
  static PlatformError null_result();
  // From a last-error value already read (HRESULT_FROM_WIN32 rule).
  static PlatformError from_win32(int32_t error);
  // An explicit code and information (tests, and backends that describe
  // their failures themselves).
  static PlatformError with_info(std::optional<int32_t> code, ErrorInfoPtr info);

  PlatformError(PlatformError&&) noexcept = default;
  PlatformError& operator=(PlatformError&&) noexcept = default;
  PlatformError(const PlatformError&) = delete;
  PlatformError& operator=(const PlatformError&) = delete;
  ~PlatformError() = default;

  const std::optional<int32_t>& code() const { return code_; }
  // An absent code behaves as S_OK wherever it is shown or returned.
  int32_t code_or_ok() const { return code_.value_or(0); }
  const ErrorInfo* info() const { return info_.get(); }
  ErrorInfoPtr take_info() { return std::move(info_); }

  // "message (0xXXXXXXXX)" with the error information's message or else the
  // one `messages` has for the code; the code alone when there is none.
  std::string render(const MessageSource& messages) const;

 private:
  PlatformError(std::optional<int32_t> code, ErrorInfoPtr info)
      : code_(code), info_(std::move(info)) {}

  std::optional<int32_t> code_;
  ErrorInfoPtr info_;
};

constexpr int32_t hresult_from_win32(int32_t error) {
  return error <= 0 ? error
                    : static_cast<int32_t>((static_cast<uint32_t>(error) & 0xFFFFu) | 0x80070000u);
}

}  // namespace vorel
