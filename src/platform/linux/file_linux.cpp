// Recording files on Linux: plain descriptors, no user-space buffering.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/file.h"

namespace vorel::platform {
namespace {

class PosixFile final : public File {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { ::close(fd_); }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  Result<size_t, IoError> write(const uint8_t* data, size_t size) override {
    for (;;) {
      const ssize_t n = ::write(fd_, data, size);
      if (n >= 0) return static_cast<size_t>(n);
      if (errno != EINTR) return Err(IoError::os(errno));
    }
  }

  Status<IoError> seek(uint64_t offset) override {
    if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return Err(IoError::os(errno));
    return Unit{};
  }

 private:
  int fd_;
};

}  // namespace

Result<std::unique_ptr<File>, IoError> create_file(const std::string& utf8_path) {
  if (utf8_path.find('\0') != std::string::npos) return Err(IoError::nul_in_path());
  int fd;
  do {
    fd = ::open(utf8_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Err(IoError::os(errno));
  return std::unique_ptr<File>(std::make_unique<PosixFile>(fd));
}

}  // namespace vorel::platform
