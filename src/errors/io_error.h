// The error value of a failed file or thread operation, and its text.
#pragma once

#include <cstdint>
#include <string>

namespace vorel {

class MessageSource;

class IoError {
 public:
  enum class Kind { kOs, kWriteZero, kNulInPath };

  static IoError os(int32_t code) { return IoError(Kind::kOs, code); }
  // A write that accepted no bytes.
  static IoError write_zero() { return IoError(Kind::kWriteZero, 0); }
  // A file path with an embedded NUL character.
  static IoError nul_in_path() { return IoError(Kind::kNulInPath, 0); }

  Kind kind() const { return kind_; }
  int32_t os_code() const { return code_; }

  // OS errors: "message (os error n)" with the message from `messages`;
  // fixed kinds: their description.
  std::string render(const MessageSource& messages) const;

 private:
  IoError(Kind kind, int32_t code) : kind_(kind), code_(code) {}
  Kind kind_;
  int32_t code_;
};

}  // namespace vorel
