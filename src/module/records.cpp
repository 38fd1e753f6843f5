#include "module/records.h"

#include <memory>
#include <cstring>
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
PyObject* new_record(PyTypeObject* type, const Record& record) {
  if (type == nullptr) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  std::construct_at(&record_of<Record>(self), record);
  return self;
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
  Ref owned = Ref::steal(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

// ---- MonitorInfo ------------------------------------------------------------

PyObject* monitor_as_dict(PyObject* self, PyObject*) {
  const MonitorRecord& r = record_of<MonitorRecord>(self);
  Ref d = Ref::steal(PyDict_New());
  if (!d || !set_item(d.get(), "index", to_python(r.index)) ||
      !set_item(d.get(), "name", to_python(r.name)) || !set_item(d.get(), "x", to_python(r.x)) ||
      !set_item(d.get(), "y", to_python(r.y)) ||
      !set_item(d.get(), "width", to_python(r.width)) ||
      !set_item(d.get(), "height", to_python(r.height)) ||
      !set_item(d.get(), "is_primary", to_python(r.is_primary))) {
    return nullptr;
  }
  return d.release();
}

PyObject* monitor_repr_py(PyObject* self) {
  return new_str(monitor_repr(record_of<MonitorRecord>(self)));
}

PyGetSetDef monitor_getset[] = {
    {"index", get_field<MonitorRecord, &MonitorRecord::index>, nullptr, nullptr, nullptr},
    {"name", get_field<MonitorRecord, &MonitorRecord::name>, nullptr, nullptr, nullptr},
    {"x", get_field<MonitorRecord, &MonitorRecord::x>, nullptr, nullptr, nullptr},
    {"y", get_field<MonitorRecord, &MonitorRecord::y>, nullptr, nullptr, nullptr},
    {"width", get_field<MonitorRecord, &MonitorRecord::width>, nullptr, nullptr, nullptr},
    {"height", get_field<MonitorRecord, &MonitorRecord::height>, nullptr, nullptr, nullptr},
    {"is_primary", get_field<MonitorRecord, &MonitorRecord::is_primary>, nullptr, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef monitor_methods[] = {
    {"as_dict", monitor_as_dict, METH_NOARGS, "as_dict($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot monitor_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<MonitorRecord>)},
    {Py_tp_repr, reinterpret_cast<void*>(monitor_repr_py)},
    {Py_tp_getset, monitor_getset},
    {Py_tp_methods, monitor_methods},
    {0, nullptr},
};

PyType_Spec monitor_spec = {
    "_native_core.MonitorInfo",
    static_cast<int>(sizeof(RecordObject<MonitorRecord>)),
    0,
    Py_TPFLAGS_DEFAULT,
    monitor_slots,
};

// ---- WindowInfo -------------------------------------------------------------

PyObject* window_as_dict(PyObject* self, PyObject*) {
  const WindowRecord& r = record_of<WindowRecord>(self);
  Ref d = Ref::steal(PyDict_New());
  if (!d || !set_item(d.get(), "handle", to_python(r.handle)) ||
      !set_item(d.get(), "title", to_python(r.title)) ||
      !set_item(d.get(), "class_name", to_python(r.class_name)) ||
      !set_item(d.get(), "pid", to_python(r.pid)) ||
      !set_item(d.get(), "visible", to_python(r.visible))) {
    return nullptr;
  }
  return d.release();
}

PyObject* window_repr_py(PyObject* self) {
  return new_str(window_repr(record_of<WindowRecord>(self)));
}

PyGetSetDef window_getset[] = {
    {"handle", get_field<WindowRecord, &WindowRecord::handle>, nullptr, nullptr, nullptr},
    {"title", get_field<WindowRecord, &WindowRecord::title>, nullptr, nullptr, nullptr},
    {"class_name", get_field<WindowRecord, &WindowRecord::class_name>, nullptr, nullptr, nullptr},
    {"pid", get_field<WindowRecord, &WindowRecord::pid>, nullptr, nullptr, nullptr},
    {"visible", get_field<WindowRecord, &WindowRecord::visible>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef window_methods[] = {
    {"as_dict", window_as_dict, METH_NOARGS, "as_dict($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot window_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<WindowRecord>)},
    {Py_tp_repr, reinterpret_cast<void*>(window_repr_py)},
    {Py_tp_getset, window_getset},
    {Py_tp_methods, window_methods},
    {0, nullptr},
};

PyType_Spec window_spec = {
    "_native_core.WindowInfo",
    static_cast<int>(sizeof(RecordObject<WindowRecord>)),
    0,
    Py_TPFLAGS_DEFAULT,
    window_slots,
};

}  // namespace

PyTypeObject* create_class(PyType_Spec* spec) {
  // The dotted spec name gives the class its __module__; the type's own name
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
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = create_class(&monitor_spec);
  return type;
}

PyTypeObject* window_info_type() {
  static PyTypeObject* type = nullptr;
  if (type == nullptr) type = create_class(&window_spec);
  return type;
}

PyObject* new_monitor_info(const MonitorRecord& record) {
  return new_record(monitor_info_type(), record);
}

PyObject* new_window_info(const WindowRecord& record) {
  return new_record(window_info_type(), record);
}

}  // namespace vorel::py
