// Files for the recordings: created or truncated, shared for reading,
// writing and deleting by other processes, written without buffering.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "errors/io_error.h"
#include "util/result.h"

namespace vorel::platform {

class File {
 public:
  // Closes the file.
  virtual ~File() = default;
  // One write call: the number of bytes the system accepted (possibly fewer
  // than asked). An interrupted write is retried inside.
  virtual Result<size_t, IoError> write(const uint8_t* data, size_t size) = 0;
  // Moves the position to an absolute offset.
  virtual Status<IoError> seek(uint64_t offset) = 0;
};

// Creates `utf8_path` or truncates it to length 0; a relative path resolves
// against the current directory.
Result<std::unique_ptr<File>, IoError> create_file(const std::string& utf8_path);

}  // namespace vorel::platform
