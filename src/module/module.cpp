// Module entry: creates _native_core and registers its names in their fixed
// order, appending each to __all__ just before the attribute is set.
#include "module/classes.h"
#include "module/functions.h"
#include "module/py.h"
#include "module/records.h"

namespace vorel::py {
namespace {

struct Entry {
  const char* name;
  PyTypeObject* (*type)();   // a class, or
  PyMethodDef* (*function)();  // a module function
};

// The order is part of the module's shape.
constexpr Entry kEntries[] = {
    {"MonitorInfo", monitor_info_type, nullptr},
    {"WindowInfo", window_info_type, nullptr},
    {"AudioDeviceInfo", audio_device_info_type, nullptr},
    {"list_monitors", nullptr, list_monitors_def},
    {"list_windows", nullptr, list_windows_def},
    {"list_audio_devices", nullptr, list_audio_devices_def},
    {"find_window_by_title", nullptr, find_window_by_title_def},
    {"find_window_by_handle", nullptr, find_window_by_handle_def},
    {"VideoCapture", video_capture_type, nullptr},
    {"AudioCapture", audio_capture_type, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_native_core",
    "",
    0,  // no per-module storage; a repeat call is answered below
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Appends `name` to __all__, creating the list on the first addition.
bool add_to_all(PyObject* module, const char* name) {
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  PyObject* all = PyDict_GetItemString(dict, "__all__");  // borrowed
  Ref created;
  if (all == nullptr) {
    created = Ref::steal(PyList_New(0));
    if (!created || PyDict_SetItemString(dict, "__all__", created.get()) != 0) return false;
    all = created.get();
  }
  Ref text = Ref::steal(PyUnicode_FromString(name));
  return text && PyList_Append(all, text.get()) == 0;
}

bool register_entry(PyObject* module, const Entry& entry) {
  Ref value;
  if (entry.type != nullptr) {
    value = Ref::borrow(reinterpret_cast<PyObject*>(entry.type()));
  } else {
    Ref module_name = Ref::steal(PyUnicode_FromString("_native_core"));
    if (!module_name) return false;
    value = Ref::steal(PyCFunction_NewEx(entry.function(), module, module_name.get()));
  }
  if (!value) return false;
  if (!add_to_all(module, entry.name)) return false;
  return PyModule_AddObjectRef(module, entry.name, value.get()) == 0;
}

PyObject* create_module() {
  Ref module = Ref::steal(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  for (const Entry& entry : kEntries) {
    if (!register_entry(module.get(), entry)) return nullptr;  // module discarded
  }
  return module.release();
}

}  // namespace
}  // namespace vorel::py

PyMODINIT_FUNC PyInit__native_core(void) {
  using vorel::py::Ref;
  // The classes are shared by the whole process, so the module belongs to the
  // first interpreter that loads it.
  static PyInterpreterState* owner = nullptr;
  static PyObject* made = nullptr;
  PyInterpreterState* current = PyInterpreterState_Get();
  if (owner != nullptr && owner != current) {
    PyErr_SetString(PyExc_ImportError,
                    "_native_core cannot be loaded in more than one interpreter per process");
    return nullptr;
  }
  if (made != nullptr) return Py_NewRef(made);
  PyObject* module = vorel::py::create_module();
  if (module == nullptr) return nullptr;
  owner = current;
  made = Py_NewRef(module);
  return module;
}
