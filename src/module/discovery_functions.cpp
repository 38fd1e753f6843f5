// list_monitors, list_windows, find_window_by_title, find_window_by_handle.
// They run on the caller's thread and never raise for platform failures.
// The window functions talk to the system without the interpreter lock:
// reading a title can wait for the thread that owns the window, and that
// thread may be one of this process waiting for the lock. The Python
// objects are made once the lock is back.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "discovery/audio_devices.h"
#include "discovery/monitors.h"
#include "discovery/windows.h"
#include "module/args.h"
#include "module/capture_support.h"
#include "module/functions.h"
#include "module/records.h"
#include "platform/audio_services.h"
#include "platform/window_services.h"

namespace vorel::py {
namespace {

template <class Record>
PyObject* to_list(const std::vector<Record>& records, PyObject* (*make)(const Record&)) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < records.size(); ++i) {
    PyObject* item = make(records[i]);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
  }
  return list.release();
}

// Runs `work` with the interpreter lock released and takes it back however
// `work` ends. `work` must not touch a Python object.
template <class Work>
auto without_interpreter_lock(Work&& work) {
  struct Released {
    PyThreadState* state = PyEval_SaveThread();
    Released() = default;
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;
    ~Released() { PyEval_RestoreThread(state); }
  } released;
  return work();
}

// Python's own str.lower(): the full Unicode mapping with the final-sigma rule.
std::optional<std::string> lower(std::string_view text) {
  Ref s = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!s) return std::nullopt;
  Ref lowered = Ref::steal(PyObject_CallMethod(s.get(), "lower", nullptr));
  if (!lowered) return std::nullopt;
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(lowered.get(), &size);
  if (utf8 == nullptr) return std::nullopt;
  return std::string(utf8, static_cast<size_t>(size));
}

constexpr Param kNoParams[1] = {{"", false, false}};  // a table of none
const Signature kListMonitors{"list_monitors()", std::span<const Param>(kNoParams, 0)};

PyObject* list_monitors(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  drain_deferred();
  Bound bound;
  if (!bind(kListMonitors, args, nargs, kwnames, bound)) return nullptr;
  auto services = platform::open_window_services();
  return to_list(enumerate_monitors(*services), new_monitor_info);
}

constexpr Param kListWindowsParams[] = {{"include_hidden", true, false}};
const Signature kListWindows{"list_windows()", kListWindowsParams};

PyObject* list_windows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  drain_deferred();
  Bound bound;
  if (!bind(kListWindows, args, nargs, kwnames, bound)) return nullptr;
  bool include_hidden = false;
  if (bound[0] != nullptr && !to_bool(bound[0], "include_hidden", include_hidden)) return nullptr;
  std::vector<WindowRecord> records = without_interpreter_lock([include_hidden] {
    auto services = platform::open_window_services();
    return enumerate_windows(*services, include_hidden);
  });
  return to_list(records, new_window_info);
}

const Signature kListAudioDevices{"list_audio_devices()", std::span<const Param>(kNoParams, 0)};

PyObject* list_audio_devices(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  drain_deferred();
  Bound bound;
  if (!bind(kListAudioDevices, args, nargs, kwnames, bound)) return nullptr;
  std::vector<AudioDeviceRecord> records;
  {
    // The session joins this thread to the multithreaded apartment for the
    // call only.
    auto services = platform::open_audio_services();
    records = vorel::list_audio_devices(*services);
  }
  return to_list(records, new_audio_device_info);
}

constexpr Param kFindByTitleParams[] = {{"substring", false, true}};
const Signature kFindByTitle{"find_window_by_title()", kFindByTitleParams};

PyObject* find_window_by_title(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  drain_deferred();
  Bound bound;
  if (!bind(kFindByTitle, args, nargs, kwnames, bound)) return nullptr;
  std::string substring;
  if (!to_text(bound[0], "substring", substring)) return nullptr;
  std::optional<std::string> needle = lower(substring);
  if (!needle) return nullptr;
  std::vector<WindowRecord> candidates = without_interpreter_lock([] {
    auto services = platform::open_window_services();
    return enumerate_windows(*services, false);
  });
  // lower() calls into Python: the match runs with the lock.
  auto found = first_with_title(std::move(candidates), *needle, lower);
  if (!found) return nullptr;  // lower() failed; its exception is set
  if (!*found) Py_RETURN_NONE;
  return new_window_info(**found);
}

constexpr Param kFindByHandleParams[] = {{"hwnd", false, true}};
const Signature kFindByHandle{"find_window_by_handle()", kFindByHandleParams};

PyObject* find_window_by_handle(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  drain_deferred();
  Bound bound;
  if (!bind(kFindByHandle, args, nargs, kwnames, bound)) return nullptr;
  int64_t hwnd = 0;
  if (!to_int64(bound[0], "hwnd", hwnd)) return nullptr;
  std::optional<WindowRecord> found = without_interpreter_lock([hwnd] {
    auto services = platform::open_window_services();
    return vorel::find_window_by_handle(*services, hwnd);
  });
  if (!found) Py_RETURN_NONE;
  return new_window_info(*found);
}

PyMethodDef g_list_monitors{"list_monitors", as_cfunction<list_monitors>(),
                            METH_FASTCALL | METH_KEYWORDS, "list_monitors()\n--\n\n"};
PyMethodDef g_list_windows{"list_windows", as_cfunction<list_windows>(),
                           METH_FASTCALL | METH_KEYWORDS,
                           "list_windows(*, include_hidden=False)\n--\n\n"};
PyMethodDef g_list_audio_devices{"list_audio_devices", as_cfunction<list_audio_devices>(),
                                 METH_FASTCALL | METH_KEYWORDS, "list_audio_devices()\n--\n\n"};
PyMethodDef g_find_window_by_title{"find_window_by_title", as_cfunction<find_window_by_title>(),
                                   METH_FASTCALL | METH_KEYWORDS,
                                   "find_window_by_title(substring)\n--\n\n"};
PyMethodDef g_find_window_by_handle{"find_window_by_handle",
                                    as_cfunction<find_window_by_handle>(),
                                    METH_FASTCALL | METH_KEYWORDS,
                                    "find_window_by_handle(hwnd)\n--\n\n"};

}  // namespace

PyMethodDef* list_monitors_def() { return &g_list_monitors; }
PyMethodDef* list_windows_def() { return &g_list_windows; }
PyMethodDef* list_audio_devices_def() { return &g_list_audio_devices; }
PyMethodDef* find_window_by_title_def() { return &g_find_window_by_title; }
PyMethodDef* find_window_by_handle_def() { return &g_find_window_by_handle; }

}  // namespace vorel::py
