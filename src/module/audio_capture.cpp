// The AudioCapture class: what the machine (or one process tree) plays,
// recorded by a worker thread into a 16-bit PCM WAV file.
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "audio/audio_state.h"
#include "audio/loopback_engine.h"
#include "module/args.h"
#include "module/capture_support.h"
#include "module/classes.h"
#include "platform/audio_services.h"
#include "platform/system_clock.h"

namespace vorel::py {
namespace {

struct Fields {
  std::string wav_path;
  std::optional<uint32_t> process_id;
  std::shared_ptr<AudioCaptureState> state = std::make_shared<AudioCaptureState>();
  Lifecycle lifecycle;
};

struct AudioCaptureObject {
  PyObject_HEAD
  Fields fields;
};

Fields& fields_of(PyObject* self) { return reinterpret_cast<AudioCaptureObject*>(self)->fields; }

constexpr Param kNewParams[] = {
    {"wav_path", false, true},
    {"process_id", false, false},
    {"ffmpeg_path", false, false},
};
const Signature kNewSignature{"AudioCapture.__new__()", kNewParams};

PyObject* audio_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  drain_deferred();
  Bound bound;
  if (!bind(kNewSignature, args, kwargs, bound)) return nullptr;
  std::string wav_path;
  std::optional<uint32_t> process_id;
  std::optional<std::string> ffmpeg_path;  // checked, then not used
  if (!to_text(bound[0], "wav_path", wav_path)) return nullptr;
  if (!to_optional(bound[1], "process_id", process_id, to_uint32)) return nullptr;
  if (!to_optional(bound[2], "ffmpeg_path", ffmpeg_path, to_text)) return nullptr;

  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  Fields& f = *std::construct_at(&fields_of(self));
  f.wav_path = std::move(wav_path);
  f.process_id = process_id;
  return self;
}

void audio_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // A recording that nobody holds any more is stopped, so its file is
  // finished; the worker keeps its own reference to the state.
  fields_of(self).state->stop_requested.store(true);
  std::destroy_at(&fields_of(self));
  type->tp_free(self);
  Py_DECREF(type);
}

void run_worker(const std::shared_ptr<AudioCaptureState>& state, const AudioWorkerInputs& inputs) {
  std::optional<std::string> failure;
  try {
    std::unique_ptr<platform::AudioServices> services = platform::open_audio_services();
    AudioWorkerEnvironment env{*services, system_clock()};
    failure = run_loopback_capture(*state, inputs, env);
  } catch (const std::bad_alloc&) {
    // The only exception our code lets out; recorded, never a crash.
    failure = "Out of memory.";
  }
  if (failure) state->error.set(std::move(failure));
}

PyObject* audio_start(PyObject* self, PyObject*) {
  drain_deferred();
  Fields& f = fields_of(self);
  std::shared_ptr<AudioCaptureState> state = f.state;
  // The previous worker has finished its file before `prepare` runs, so two
  // workers never write the same file.
  auto prepare = [&]() -> Lifecycle::Body {
    state->stop_requested.exchange(false);
    state->format_ready.clear();
    state->started.clear();
    state->started_at.set(std::nullopt);
    AudioWorkerInputs inputs{f.wav_path, f.process_id};
    return [state, inputs]() mutable {
      run_worker(state, inputs);
      state.reset();
    };
  };
  // At interpreter exit the recording is stopped and its file finished.
  return f.lifecycle.start(state->running, "vorel-audio-native", "Failed to spawn audio thread: ",
                           prepare, [state]() { state->stop_requested.store(true); });
}

PyObject* audio_stop(PyObject* self, PyObject*) {
  drain_deferred();
  request_stop(*fields_of(self).state);
  Py_RETURN_NONE;
}

PyObject* audio_wait(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return timeout_method("wait()", args, nargs, kwnames, [self](PyObject* timeout) {
    return fields_of(self).lifecycle.wait(timeout);
  });
}

PyObject* audio_wait_format_ready(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  return timeout_method("wait_format_ready()", args, nargs, kwnames, [self](PyObject* timeout) {
    return wait_milestone(fields_of(self).state->format_ready, timeout, 10.0);
  });
}

PyObject* audio_wait_started(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return timeout_method("wait_started()", args, nargs, kwnames, [self](PyObject* timeout) {
    return wait_milestone(fields_of(self).state->started, timeout, 10.0);
  });
}

PyObject* get_sample_rate(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(fields_of(self).state->sample_rate.get());
}
PyObject* get_channels(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(fields_of(self).state->channels.get());
}
PyObject* get_bits_per_sample(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(fields_of(self).state->bits_per_sample.get());
}
PyObject* get_started_at(PyObject* self, void*) {
  std::optional<double> at = fields_of(self).state->started_at.get();
  if (!at) Py_RETURN_NONE;
  return PyFloat_FromDouble(*at);
}
PyObject* get_error(PyObject* self, void*) { return error_text(fields_of(self).state->error); }

PyMethodDef audio_methods[] = {
    {"start", entry<audio_start>, METH_NOARGS, "start($self)\n--\n\n"},
    {"stop", entry<audio_stop>, METH_NOARGS, "stop($self)\n--\n\n"},
    {"wait", as_cfunction<audio_wait>(), METH_FASTCALL | METH_KEYWORDS,
     "wait($self, timeout=None)\n--\n\n"},
    {"wait_format_ready", as_cfunction<audio_wait_format_ready>(), METH_FASTCALL | METH_KEYWORDS,
     "wait_format_ready($self, timeout=10.0)\n--\n\n"},
    {"wait_started", as_cfunction<audio_wait_started>(), METH_FASTCALL | METH_KEYWORDS,
     "wait_started($self, timeout=10.0)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef audio_getset[] = {
    {"sample_rate", entry<get_sample_rate>, nullptr, nullptr, nullptr},
    {"channels", entry<get_channels>, nullptr, nullptr, nullptr},
    {"bits_per_sample", entry<get_bits_per_sample>, nullptr, nullptr, nullptr},
    {"started_at", entry<get_started_at>, nullptr, nullptr, nullptr},
    {"error", entry<get_error>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot audio_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "AudioCapture(wav_path, process_id=None, ffmpeg_path=None)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(entry<audio_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(audio_dealloc)},
    {Py_tp_methods, audio_methods},
    {Py_tp_getset, audio_getset},
    {0, nullptr},
};

PyType_Spec audio_spec = {
    "_native_core.AudioCapture",
    static_cast<int>(sizeof(AudioCaptureObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    audio_slots,
};

}  // namespace

PyTypeObject* audio_capture_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = create_class(&audio_spec);
  return type;
}

}  // namespace vorel::py
