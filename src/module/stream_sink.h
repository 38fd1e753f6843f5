// The caller's output stream as a frame sink: the video worker's two calls
// into Python, each with the interpreter lock taken for the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "module/py.h"
#include "video/frame_sink.h"

namespace vorel::py {

// The caller's stream, reached with the interpreter lock taken per call.
// Each frame goes to `write` as a bytes object. When the stream has let go
// of the previous one by the next frame, that object is filled again instead
// of allocating a new one: a stream that keeps a frame keeps an immutable
// bytes, one that does not gets the same object back. Large frames are
// copied and mapped as video/frame_memory.h describes.
class PythonStreamSink final : public FrameSink {
 public:
  explicit PythonStreamSink(PyObject* stream);
  ~PythonStreamSink() override;
  PythonStreamSink(const PythonStreamSink&) = delete;
  PythonStreamSink& operator=(const PythonStreamSink&) = delete;

  ReadyOutcome wait_ready() override;
  WriteOutcome write(const uint8_t* frame, size_t size) override;

 private:
  static std::string take_exception_text();
  // The bytes object for one frame: the spare when only we hold it, else a
  // new one. Null with an exception set when none can be made.
  Ref frame_object(const uint8_t* frame, size_t size);

  PyObject* stream_;
  bool tuned_copy_;  // large frames streamed past the cache, new objects on huge pages
  PyObject* spare_ = nullptr;  // the last frame's object; touched with the lock only
};

}  // namespace vorel::py
