// Where error texts come from: the platform's message tables. Rendering takes
// a source so that it is tested with fakes and runs on the real tables.
#pragma once

#include <cstdint>
#include <string>

#include "util/result.h"

namespace vorel {

// Why an OS error message could not be looked up.
struct MessageLookupFailure {
  bool invalid_utf16 = false;  // the table's text was not valid UTF-16
  int32_t error = 0;           // else: the lookup's own error code
};

class MessageSource {
 public:
  virtual ~MessageSource() = default;
  // The system's message for an HRESULT; empty when it has none.
  virtual std::u16string hresult_message(uint32_t code) const = 0;
  // The system's message for an OS error code, untrimmed, as UTF-16.
  virtual Result<std::u16string, MessageLookupFailure> os_error_message(int32_t code) const = 0;
};

}  // namespace vorel
