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

  PyObject* stream_;
};

}  // namespace vorel::py
