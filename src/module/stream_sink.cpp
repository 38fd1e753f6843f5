#include "module/stream_sink.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "module/args.h"
#include "module/capture_support.h"
#include "platform/memory.h"
#include "video/frame_memory.h"

namespace vorel::py {
namespace {

// The method name looked up on the stream for every frame, made once. A
// failure (no memory) is not remembered: the call that meets it fails with
// the MemoryError set, and the next one tries again. Only ever called with
// the interpreter lock held, which guards the cache.
PyObject* write_name() {
  static PyObject* name = nullptr;
  if (name == nullptr) name = PyUnicode_InternFromString("write");
  return name;
}

// A bytes object keeps its hash once computed; new contents need it dropped.
// The field is deprecated for readers, but writing -1 is what CPython itself
// does for a bytes object it has just filled.
void forget_cached_hash(PyObject* bytes) {
#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4996)
#else
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
  reinterpret_cast<PyBytesObject*>(bytes)->ob_shash = -1;
#if defined(_MSC_VER)
#pragma warning(pop)
#else
#pragma GCC diagnostic pop
#endif
}

bool copy_is_plain() {
  const char* value = std::getenv("VOREL_VIDEO_COPY");
  return value != nullptr && std::string_view(value) == "plain";
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

// VOREL_VIDEO_COPY=plain in the environment copies every frame with memcpy
// and leaves page sizes to the allocator, as before either was tuned: a
// baseline for the benchmark.
PythonStreamSink::PythonStreamSink(PyObject* stream)
    : stream_(Py_NewRef(stream)), tuned_copy_(!copy_is_plain()) {}

PythonStreamSink::~PythonStreamSink() {
  if (spare_ != nullptr) defer_decref(spare_);
  defer_decref(stream_);
}

Ref PythonStreamSink::frame_object(const uint8_t* frame, size_t size) {
  Ref spare = Ref::steal(std::exchange(spare_, nullptr));
  // Only we hold it, so nothing can see its contents change; an object the
  // stream kept is left alone and a new one is made.
  if (spare && Py_REFCNT(spare.get()) == 1 && PyBytes_CheckExact(spare.get()) &&
      PyBytes_GET_SIZE(spare.get()) == static_cast<Py_ssize_t>(size)) {
    auto* to = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(spare.get()));
    if (tuned_copy_) {
      copy_frame(to, frame, size);
    } else {
      std::memcpy(to, frame, size);
    }
    forget_cached_hash(spare.get());
    return spare;
  }
  Ref fresh = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!fresh) return fresh;
  auto* to = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(fresh.get()));
  // Advised before it is written, so pages the allocator has just mapped
  // come in huge. Each page is then written right after the kernel cleared
  // it, while it is still cached, so ordinary stores are the faster ones.
  if (tuned_copy_) platform::advise_huge_pages(to, size);
  std::memcpy(to, frame, size);
  return fresh;
}

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
  Ref bytes = frame_object(frame, size);
  PyObject* name = bytes ? write_name() : nullptr;
  Ref result;
  if (name != nullptr) result = Ref::steal(PyObject_CallMethodOneArg(stream_, name, bytes.get()));
  if (result) {
    spare_ = bytes.release();  // the next frame's, if the stream lets it go
    return {Delivery::kWritten, {}};
  }
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
