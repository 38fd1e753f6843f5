// Recording files on Windows: a handle shared for reading, writing and
// deleting, so other processes may open the file while it is recorded.
#include <windows.h>

#include "platform/file.h"
#include "util/text.h"

namespace vorel::platform {
namespace {

class Win32File final : public File {
 public:
  explicit Win32File(HANDLE handle) : handle_(handle) {}
  ~Win32File() override { CloseHandle(handle_); }
  Win32File(const Win32File&) = delete;
  Win32File& operator=(const Win32File&) = delete;

  Result<size_t, IoError> write(const uint8_t* data, size_t size) override {
    const DWORD chunk = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(handle_, data, chunk, &written, nullptr)) {
      return Err(IoError::os(static_cast<int32_t>(GetLastError())));
    }
    return static_cast<size_t>(written);
  }

  Status<IoError> seek(uint64_t offset) override {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(handle_, to, nullptr, FILE_BEGIN)) {
      return Err(IoError::os(static_cast<int32_t>(GetLastError())));
    }
    return Unit{};
  }

 private:
  HANDLE handle_;
};

}  // namespace

Result<std::unique_ptr<File>, IoError> create_file(const std::string& utf8_path) {
  if (utf8_path.find('\0') != std::string::npos) return Err(IoError::nul_in_path());
  const std::u16string wide = utf8_to_utf16_lossy(utf8_path);
  HANDLE handle = CreateFileW(reinterpret_cast<LPCWSTR>(wide.c_str()), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return Err(IoError::os(static_cast<int32_t>(GetLastError())));
  return std::unique_ptr<File>(std::make_unique<Win32File>(handle));
}

}  // namespace vorel::platform
