#include "module/records.h"

#include <cstring>
#include <memory>
#include <new>

#include "module/args.h"

namespace vorel::py {
namespace {

template <class Record>
struct RecordObject {
  PyObject_HEAD
  Record record;
};

template <class Record>
Record& record_of(PyObject* self) {
  return reinterpret_cast<RecordObject<Record>*>(self)->record;
}

PyObject* to_python(const std::string& v) { return new_str(v); }
PyObject* to_python(int32_t v) { return PyLong_FromLongLong(v); }
PyObject* to_python(int64_t v) { return PyLong_FromLongLong(v); }
PyObject* to_python(uint32_t v) { return PyLong_FromUnsignedLongLong(v); }
PyObject* to_python(bool v) { return PyBool_FromLong(v ? 1 : 0); }

template <class Record, auto Member>
PyObject* get_field(PyObject* self, void*) {
  return to_python(record_of<Record>(self).*Member);
}

template <class Record, auto Member>
constexpr PyGetSetDef field(const char* name) {
  return {name, get_field<Record, Member>, nullptr, nullptr, nullptr};
}

// The record's getters in order, ending with an empty entry.
template <class Record>
struct Fields;

template <>
struct Fields<MonitorRecord> {
  using R = MonitorRecord;
  static inline PyGetSetDef table[] = {
      field<R, &R::index>("index"),   field<R, &R::name>("name"),
      field<R, &R::x>("x"),           field<R, &R::y>("y"),
      field<R, &R::width>("width"),   field<R, &R::height>("height"),
      field<R, &R::is_primary>("is_primary"), {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  static std::string repr(const R& r) { return monitor_repr(r); }
};

template <>
struct Fields<WindowRecord> {
  using R = WindowRecord;
  static inline PyGetSetDef table[] = {
      field<R, &R::handle>("handle"),         field<R, &R::title>("title"),
      field<R, &R::class_name>("class_name"), field<R, &R::pid>("pid"),
      field<R, &R::visible>("visible"),       {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  static std::string repr(const R& r) { return window_repr(r); }
};

template <>
struct Fields<AudioDeviceRecord> {
  using R = AudioDeviceRecord;
  static inline PyGetSetDef table[] = {
      field<R, &R::id>("id"),
      field<R, &R::name>("name"),
      field<R, &R::is_default>("is_default"),
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  static std::string repr(const R& r) { return audio_device_repr(r); }
};

// as_dict(): one key per getter, valued as the getter returns it.
template <class Record>
PyObject* as_dict(PyObject* self, PyObject*) {
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  for (const PyGetSetDef* f = Fields<Record>::table; f->name != nullptr; ++f) {
    Ref value = Ref::steal(f->get(self, nullptr));
    if (!value || PyDict_SetItemString(d.get(), f->name, value.get()) != 0) return nullptr;
  }
  return d.release();
}

template <class Record>
PyObject* repr(PyObject* self) {
  return new_str(Fields<Record>::repr(record_of<Record>(self)));
}

template <class Record>
void dealloc_record(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&record_of<Record>(self));
  type->tp_free(self);
  Py_DECREF(type);
}

// Records come only from discovery; Python cannot make them.
PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", type->tp_name);
  return nullptr;
}

template <class Record>
struct RecordClass {
  static inline PyMethodDef methods[] = {
      {"as_dict", entry<as_dict<Record>>, METH_NOARGS, "as_dict($self)\n--\n\n"},
      {nullptr, nullptr, 0, nullptr},
  };
  static inline PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<Record>)},
      {Py_tp_repr, reinterpret_cast<void*>(entry<repr<Record>>)},
      {Py_tp_getset, Fields<Record>::table},
      {Py_tp_methods, methods},
      {0, nullptr},
  };

  static PyTypeObject* type(const char* dotted_name) {
    static PyType_Spec spec = {dotted_name, static_cast<int>(sizeof(RecordObject<Record>)), 0,
                              Py_TPFLAGS_DEFAULT, slots};
    static PyTypeObject* created = nullptr;
    if (created == nullptr) created = create_class(&spec);
    return created;
  }

  static PyObject* make(PyTypeObject* t, const Record& record) {
    if (t == nullptr) return nullptr;
    PyObject* self = t->tp_alloc(t, 0);
    if (self == nullptr) return nullptr;
    try {
      std::construct_at(&record_of<Record>(self), record);
    } catch (const std::bad_alloc&) {
      // The record was never made: only the object goes, as dealloc would.
      t->tp_free(self);
      Py_DECREF(t);
      return PyErr_NoMemory();
    }
    return self;
  }
};

}  // namespace

PyTypeObject* create_class(PyType_Spec* spec) {
  // The dotted name in `spec` gives the class its __module__; the type's own name
  // is then set to the bare class name, which error messages show.
  Ref type = Ref::steal(PyType_FromSpec(spec));
  if (!type) return nullptr;
  const char* dot = std::strrchr(spec->name, '.');
  Ref bare = Ref::steal(PyUnicode_FromString(dot != nullptr ? dot + 1 : spec->name));
  if (!bare || PyObject_SetAttrString(type.get(), "__name__", bare.get()) != 0) return nullptr;
  auto* t = reinterpret_cast<PyTypeObject*>(type.get());
  t->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
  PyType_Modified(t);
  // Kept for the life of the process.
  return reinterpret_cast<PyTypeObject*>(type.release());
}

PyTypeObject* monitor_info_type() {
  return RecordClass<MonitorRecord>::type("_native_core.MonitorInfo");
}
PyTypeObject* window_info_type() {
  return RecordClass<WindowRecord>::type("_native_core.WindowInfo");
}
PyTypeObject* audio_device_info_type() {
  return RecordClass<AudioDeviceRecord>::type("_native_core.AudioDeviceInfo");
}

PyObject* new_monitor_info(const MonitorRecord& record) {
  return RecordClass<MonitorRecord>::make(monitor_info_type(), record);
}
PyObject* new_window_info(const WindowRecord& record) {
  return RecordClass<WindowRecord>::make(window_info_type(), record);
}
PyObject* new_audio_device_info(const AudioDeviceRecord& record) {
  return RecordClass<AudioDeviceRecord>::make(audio_device_info_type(), record);
}

}  // namespace vorel::py
