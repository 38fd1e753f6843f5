#include "module/stream_sink.h"

#include <string>
#include <utility>

#include "module/args.h"
#include "module/capture_support.h"

namespace vorel::py {
namespace {

// The method name looked up on the stream for every frame, made once.
PyObject* write_name() {
  static PyObject* name = PyUnicode_InternFromString("write");
  return name;
}

bool is_numpy_or_python_bool(PyObject* o, bool& value) {
  if (o == Py_True || o == Py_False) {
    value = o == Py_True;
    return true;
  }
  if (!to_bool(o, "result", value)) {
    PyErr_Clear();
    return false;
  }
  return true;
}

}  // namespace

PythonStreamSink::PythonStreamSink(PyObject* stream) : stream_(Py_NewRef(stream)) {}

PythonStreamSink::~PythonStreamSink() { defer_decref(stream_); }

FrameSink::ReadyOutcome PythonStreamSink::wait_ready() {
  PythonSection section;
  if (!section.entered()) return {Readiness::kReady, {}};  // the first write ends the run
  Ref method = Ref::steal(PyObject_GetAttrString(stream_, "wait_ready"));
  if (!method) {
    PyErr_Clear();  // no usable wait_ready: ready at once
    return {Readiness::kReady, {}};
  }
  method = Ref();
  Ref result = Ref::steal(PyObject_CallMethod(stream_, "wait_ready", "(d)", 30.0));
  if (!result) return {Readiness::kFailed, take_exception_text()};
  bool ready = false;
  if (is_numpy_or_python_bool(result.get(), ready) && ready) return {Readiness::kReady, {}};
  return {Readiness::kNotReady, {}};
}

FrameSink::WriteOutcome PythonStreamSink::write(const uint8_t* frame, size_t size) {
  PythonSection section;
  if (!section.entered()) return {Delivery::kClosed, {}};
  Ref bytes = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(frame),
                                                   static_cast<Py_ssize_t>(size)));
  Ref result;
  if (bytes) result = Ref::steal(PyObject_CallMethodOneArg(stream_, write_name(), bytes.get()));
  if (result) return {Delivery::kWritten, {}};
  std::string text = take_exception_text();
  // A closed pipe ends the capture quietly.
  if (text.find("BrokenPipe") != std::string::npos || text.find("OSError") != std::string::npos) {
    return {Delivery::kClosed, {}};
  }
  return {Delivery::kFailed, std::move(text)};
}

std::string PythonStreamSink::take_exception_text() {
  Ref exception = Ref::steal(PyErr_GetRaisedException());
  if (!exception) return "SystemError: error return without exception set";
  return exception_text(exception.get());
}

}  // namespace vorel::py
