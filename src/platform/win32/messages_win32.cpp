// System messages on Windows: FormatMessageW on the system's message table,
// and on ntdll's for codes that wrap an NTSTATUS (bit 0x10000000).
#include <cstdint>
#include <string>

#include "platform/errors.h"
#include "util/no_destructor.h"
#include "platform/win32/compat.h"
#include "platform/win32/scoped.h"

namespace vorel {
namespace {

constexpr uint32_t kNtStatusBit = 0x10000000u;
constexpr DWORD kOsMessageUnits = 2048;

class WindowsMessages final : public MessageSource {
 public:
  std::u16string hresult_message(uint32_t code) const override {
    DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                  FORMAT_MESSAGE_ALLOCATE_BUFFER;
    const bool nt_status = (code & kNtStatusBit) != 0;
    if (nt_status) code &= ~kNtStatusBit;
    // Loaded for this lookup only; a failed load leaves the system table.
    win32::ScopedLibrary ntdll(
        nt_status ? LoadLibraryExW(L"ntdll.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)
                  : nullptr);
    if (ntdll.get() != nullptr) flags |= FORMAT_MESSAGE_FROM_HMODULE;

    win32::LocalWideString buffer;
    const DWORD units =
        FormatMessageW(flags, ntdll.get(), code, 0, buffer.put_as_buffer(), 0, nullptr);
    if (units == 0 || buffer.get() == nullptr) return {};
    return win32::to_u16string(buffer.get(), units);
  }

  Result<std::u16string, MessageLookupFailure> os_error_message(int32_t code) const override {
    DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    auto id = static_cast<DWORD>(code);
    HMODULE module = nullptr;
    if ((id & kNtStatusBit) != 0) {
      // Only when ntdll is already there; this lookup never loads it.
      module = GetModuleHandleW(L"NTDLL.DLL");
      if (module != nullptr) {
        id &= ~kNtStatusBit;
        flags |= FORMAT_MESSAGE_FROM_HMODULE;
      }
    }
    wchar_t buffer[kOsMessageUnits];
    const DWORD units = FormatMessageW(flags, module, id, 0, buffer, kOsMessageUnits, nullptr);
    if (units == 0) {
      return Err(MessageLookupFailure{false, static_cast<int32_t>(GetLastError())});
    }
    return win32::to_u16string(buffer, units);
  }
};

}  // namespace

const MessageSource& platform::system_messages() {
  // Workers may still render errors while the process exits.
  static NoDestructor<WindowsMessages> instance;
  return *instance;
}

}  // namespace vorel
