// System messages on Linux: the C library's texts for OS errors, and the
// Windows texts of the HRESULTs that the Linux backend can produce, so that a
// failure reads the same on both platforms. Codes without a Windows message
// (the audio client's own codes have none there either) render as the code.
#include <string.h>

#include <algorithm>
#include <cerrno>
#include <iterator>

#include "platform/errors.h"
#include "util/no_destructor.h"
#include "util/text.h"

namespace vorel {
namespace {

struct HresultText {
  uint32_t code;
  const char* text;
};

// Sorted by code.
constexpr HresultText kHresultTexts[] = {
    {0x00000000, "The operation completed successfully."},
    {0x80004001, "Not implemented"},
    {0x80004002, "No such interface supported"},
    {0x80004003, "Invalid pointer"},
    {0x80004004, "Operation aborted"},
    {0x80004005, "Unspecified error"},
    {0x8000FFFF, "Catastrophic failure"},
    {0x80070002, "The system cannot find the file specified."},
    {0x80070005, "Access is denied."},
    {0x80070006, "The handle is invalid."},
    {0x8007000E, "Not enough memory resources are available to complete this operation."},
    {0x80070015, "The device is not ready."},
    {0x8007001F, "A device attached to the system is not functioning."},
    {0x80070057, "The parameter is incorrect."},
    {0x800700AA, "The requested resource is in use."},
    {0x80070490, "Element not found."},
    {0x800705B4, "This operation returned because the timeout period expired."},
    {0x800706BA, "The RPC server is unavailable."},
};

class LinuxMessages final : public MessageSource {
 public:
  std::u16string hresult_message(uint32_t code) const override {
    auto it = std::lower_bound(std::begin(kHresultTexts), std::end(kHresultTexts), code,
                               [](const HresultText& e, uint32_t c) { return e.code < c; });
    if (it == std::end(kHresultTexts) || it->code != code) return {};
    return utf8_to_utf16_lossy(it->text);
  }

  Result<std::u16string, MessageLookupFailure> os_error_message(int32_t code) const override {
    char buf[1024];
    // The GNU variant returns a pointer that may or may not be `buf`.
    const char* text = strerror_r(code, buf, sizeof buf);
    if (text == nullptr) return Err(MessageLookupFailure{false, errno});
    return utf8_to_utf16_lossy(text);
  }
};

}  // namespace

const MessageSource& platform::system_messages() {
  // Workers may still render errors while the process exits.
  static NoDestructor<LinuxMessages> instance;
  return *instance;
}

}  // namespace vorel
