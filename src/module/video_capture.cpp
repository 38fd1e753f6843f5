// The VideoCapture class: a monitor or a window as raw frames handed to a
// Python stream by a worker thread.
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "module/args.h"
#include "module/capture_support.h"
#include "module/classes.h"
#include "module/panic.h"
#include "module/stream_sink.h"
#include "platform/window_services.h"
#include "video/frame_sink.h"
#include "video/measure.h"
#include "video/video_state.h"
#include "video/video_worker.h"
#include "platform/system_clock.h"

namespace vorel::py {
namespace {

struct Fields {
  int32_t fps = 30;
  std::optional<int32_t> monitor_index;
  std::optional<int64_t> window_handle;
  std::shared_ptr<VideoCaptureState> state = std::make_shared<VideoCaptureState>();
  Lifecycle lifecycle;
};

struct VideoCaptureObject {
  PyObject_HEAD
  PyObject* output_stream;
  Fields fields;
};

VideoCaptureObject* self_of(PyObject* self) { return reinterpret_cast<VideoCaptureObject*>(self); }
Fields& fields_of(PyObject* self) { return self_of(self)->fields; }

constexpr Param kNewParams[] = {
    {"output_stream", false, true},
    {"fps", true, false},
    {"monitor_index", true, false},
    {"window_handle", true, false},
};
const Signature kNewSignature{"VideoCapture.__new__()", kNewParams};

PyObject* video_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  drain_deferred();
  Bound bound;
  if (!bind(kNewSignature, args, kwargs, bound)) return nullptr;
  int32_t fps = 30;
  std::optional<int32_t> monitor_index;
  std::optional<int64_t> window_handle;
  if (bound[1] != nullptr && !to_int32(bound[1], "fps", fps)) return nullptr;
  if (!to_optional(bound[2], "monitor_index", monitor_index, to_int32)) return nullptr;
  if (!to_optional(bound[3], "window_handle", window_handle, to_int64)) return nullptr;

  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  VideoCaptureObject* obj = self_of(self);
  obj->output_stream = Py_NewRef(bound[0]);
  std::construct_at(&obj->fields);
  obj->fields.fps = fps;
  obj->fields.monitor_index = monitor_index;
  obj->fields.window_handle = window_handle;
  return self;
}

int video_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(self_of(self)->output_stream);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int video_clear(PyObject* self) {
  Py_CLEAR(self_of(self)->output_stream);
  return 0;
}

void video_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  // A capture that nobody holds any more is asked to stop; its worker keeps
  // its own references and ends at its next frame.
  fields_of(self).state->stop_requested.store(true);
  std::destroy_at(&fields_of(self));
  Py_CLEAR(self_of(self)->output_stream);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* video_start(PyObject* self, PyObject*) {
  drain_deferred();
  Fields& f = fields_of(self);
  std::shared_ptr<VideoCaptureState> state = f.state;
  PyObject* stream = self_of(self)->output_stream;
  if (stream == nullptr) stream = Py_None;  // only once the collector has cleared the object
  const VideoWorkerInputs inputs{f.fps, f.monitor_index, f.window_handle};
  // The previous worker has ended before `prepare` runs, so two workers
  // never write to one stream.
  auto prepare = [&]() -> Lifecycle::Body {
    state->stop_requested.exchange(false);
    state->ready.clear();
    auto sink = std::make_shared<PythonStreamSink>(stream);
    return [state, sink, inputs]() mutable {
      try {
        std::unique_ptr<platform::WindowServices> services = platform::open_window_services();
        run_video_worker(*state, *services, *sink, system_clock(), inputs);
      } catch (const std::bad_alloc&) {
        // The only exception our code lets out; recorded, never a crash.
        state->error.set(std::string("Out of memory."));
      }
      sink.reset();  // the stream first (released later, with the lock), then the state
      end_python_visits();
      state.reset();
    };
  };
  return f.lifecycle.start(state->running, "vorel-video-native", "Failed to spawn thread: ",
                           prepare, [state]() { state->stop_requested.store(true); });
}

PyObject* video_stop(PyObject* self, PyObject*) {
  drain_deferred();
  request_stop(*fields_of(self).state);
  Py_RETURN_NONE;
}

PyObject* video_wait(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return timeout_method("wait()", args, nargs, kwnames, [self](PyObject* timeout) {
    return fields_of(self).lifecycle.wait(timeout);
  });
}

PyObject* video_wait_ready(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return timeout_method("wait_ready()", args, nargs, kwnames, [self](PyObject* timeout) {
    return wait_milestone(fields_of(self).state->ready, timeout, 10.0);
  });
}

constexpr Param kMeasureParams[] = {
    {"monitor_index", false, false},
    {"window_handle", false, false},
    {"target_fps", false, false},
};
const Signature kMeasureSignature{"measure_achievable_fps()", kMeasureParams};

PyObject* video_measure(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  drain_deferred();
  Bound bound;
  if (!bind(kMeasureSignature, args, nargs, kwnames, bound)) return nullptr;
  std::optional<int32_t> monitor_index;
  std::optional<int64_t> window_handle;
  int32_t target_fps = 60;
  if (!to_optional(bound[0], "monitor_index", monitor_index, to_int32)) return nullptr;
  if (!to_optional(bound[1], "window_handle", window_handle, to_int64)) return nullptr;
  if (bound[2] != nullptr && !to_int32(bound[2], "target_fps", target_fps)) return nullptr;
  int32_t result = target_fps;
  // The grabs run without the interpreter lock, so a running capture keeps
  // its pace meanwhile.
  Py_BEGIN_ALLOW_THREADS
  std::unique_ptr<platform::WindowServices> services = platform::open_window_services();
  result = measure_achievable_fps(*services, system_clock(), monitor_index, window_handle,
                                  target_fps);
  Py_END_ALLOW_THREADS
  return PyLong_FromLongLong(result);
}

PyObject* get_width(PyObject* self, void*) {
  return PyLong_FromLongLong(fields_of(self).state->width.get());
}
PyObject* get_height(PyObject* self, void*) {
  return PyLong_FromLongLong(fields_of(self).state->height.get());
}
PyObject* get_error(PyObject* self, void*) { return error_text(fields_of(self).state->error); }

PyMethodDef video_methods[] = {
    {"measure_achievable_fps", as_cfunction<video_measure>(),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "measure_achievable_fps(monitor_index=None, window_handle=None, target_fps=60)\n--\n\n"},
    {"start", entry<video_start>, METH_NOARGS, "start($self)\n--\n\n"},
    {"wait_ready", as_cfunction<video_wait_ready>(), METH_FASTCALL | METH_KEYWORDS,
     "wait_ready($self, timeout=10.0)\n--\n\n"},
    {"stop", entry<video_stop>, METH_NOARGS, "stop($self)\n--\n\n"},
    {"wait", as_cfunction<video_wait>(), METH_FASTCALL | METH_KEYWORDS,
     "wait($self, timeout=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef video_getset[] = {
    {"width", entry<get_width>, nullptr, nullptr, nullptr},
    {"height", entry<get_height>, nullptr, nullptr, nullptr},
    {"error", entry<get_error>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot video_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "VideoCapture(output_stream, *, fps=30, monitor_index=None, "
                    "window_handle=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(entry<video_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(video_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(video_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(video_clear)},
    {Py_tp_methods, video_methods},
    {Py_tp_getset, video_getset},
    {0, nullptr},
};

PyType_Spec video_spec = {
    "_native_core.VideoCapture",
    static_cast<int>(sizeof(VideoCaptureObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    video_slots,
};

}  // namespace

PyTypeObject* video_capture_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = create_class(&video_spec);
  return type;
}

}  // namespace vorel::py
