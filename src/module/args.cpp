#include "module/args.h"

#include <limits>

namespace vorel::py {
namespace {

size_t positional_capacity(const Signature& sig) {
  size_t n = 0;
  for (const Param& p : sig.params) {
    if (!p.keyword_only) ++n;
  }
  return n;
}

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  const size_t cap = positional_capacity(sig);
  if (cap == 0) {
    PyErr_Format(PyExc_TypeError, "%s takes no positional arguments (%zd given)",
                 sig.display_name, given);
    return false;
  }
  PyErr_Format(PyExc_TypeError, "%s takes at most %zu positional argument%s (%zd given)",
               sig.display_name, cap, cap == 1 ? "" : "s", given);
  return false;
}

// Places one keyword argument; `key` is a str (checked by the caller).
bool place_keyword(const Signature& sig, PyObject* key, PyObject* value, Bound& out) {
  for (size_t i = 0; i < sig.params.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, sig.params[i].name) == 0) {
      if (out.slots[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                     sig.display_name, sig.params[i].name);
        return false;
      }
      out.slots[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.display_name,
               key);
  return false;
}

bool check_required(const Signature& sig, const Bound& out) {
  for (size_t i = 0; i < sig.params.size(); ++i) {
    if (sig.params[i].required && out.slots[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s missing required argument '%s'", sig.display_name,
                   sig.params[i].name);
      return false;
    }
  }
  return true;
}

bool keywords_must_be_strings(const Signature& sig, PyObject* key) {
  if (PyUnicode_Check(key)) return true;
  PyErr_Format(PyExc_TypeError, "%s keywords must be strings", sig.display_name);
  return false;
}

// Replaces a pending TypeError by one whose text names the argument; the new
// error keeps the original's cause. Other exceptions pass unchanged.
bool fail_argument(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  Ref original = Ref::steal(PyErr_GetRaisedException());
  Ref text = Ref::steal(PyObject_Str(original.get()));
  if (!text) return false;
  Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return false;
  // Raised the way the interpreter raises, so that inside an `except` block
  // it is chained to the exception being handled.
  PyErr_SetObject(PyExc_TypeError, message.get());
  Ref replaced = Ref::steal(PyErr_GetRaisedException());
  // PyException_SetCause steals the reference it is given (null clears).
  PyException_SetCause(replaced.get(), PyException_GetCause(original.get()));
  PyErr_SetRaisedException(replaced.release());
  return false;
}

bool type_error(const char* name, const char* expected, PyObject* o) {
  PyErr_Format(PyExc_TypeError, "expected %s, got '%s'", expected, Py_TYPE(o)->tp_name);
  return fail_argument(name);
}

// Index-like objects to an exact int; TypeError for anything else.
Ref as_index(PyObject* o) { return Ref::steal(PyNumber_Index(o)); }

// Clears a lookup failure that only means "not this kind"; an exception of
// the interpreter's own trouble (MemoryError, KeyboardInterrupt...) stays.
bool clear_unless_fatal() {
  if (PyErr_ExceptionMatches(PyExc_MemoryError) ||
      !PyErr_ExceptionMatches(PyExc_Exception)) {
    return false;
  }
  PyErr_Clear();
  return true;
}

enum class Kind { kNo, kYes, kError };

Kind is_numpy_bool(PyObject* o) {
  PyTypeObject* type = Py_TYPE(o);
  Ref type_name = Ref::steal(PyType_GetName(type));
  if (!type_name) return clear_unless_fatal() ? Kind::kNo : Kind::kError;
  if (PyUnicode_CompareWithASCIIString(type_name.get(), "bool_") != 0 &&
      PyUnicode_CompareWithASCIIString(type_name.get(), "bool") != 0) {
    return Kind::kNo;
  }
  Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) return clear_unless_fatal() ? Kind::kNo : Kind::kError;
  return PyUnicode_Check(module.get()) &&
                 PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0
             ? Kind::kYes
             : Kind::kNo;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          Bound& out) {
  if (static_cast<size_t>(nargs) > positional_capacity(sig)) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out.slots[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      if (!keywords_must_be_strings(sig, key)) return false;
      if (!place_keyword(sig, key, args[nargs + k], out)) return false;
    }
  }
  return check_required(sig, out);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, Bound& out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (static_cast<size_t>(nargs) > positional_capacity(sig)) return too_many_positional(sig, nargs);
  for (Py_ssize_t i = 0; i < nargs; ++i) out.slots[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!keywords_must_be_strings(sig, key)) return false;
      if (!place_keyword(sig, key, value, out)) return false;
    }
  }
  return check_required(sig, out);
}

bool to_text(PyObject* o, const char* name, std::string& out) {
  if (!PyUnicode_Check(o)) return type_error(name, "str", o);
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);
  if (utf8 == nullptr) return fail_argument(name);  // encoding errors pass unchanged
  out.assign(utf8, static_cast<size_t>(size));
  return true;
}

bool to_int32(PyObject* o, const char* name, int32_t& out) {
  Ref index = as_index(o);
  if (!index) return fail_argument(name);
  const int value = PyLong_AsInt(index.get());
  if (value == -1 && PyErr_Occurred()) return fail_argument(name);
  out = static_cast<int32_t>(value);
  return true;
}

bool to_int64(PyObject* o, const char* name, int64_t& out) {
  Ref index = as_index(o);
  if (!index) return fail_argument(name);
  const long long value = PyLong_AsLongLong(index.get());
  if (value == -1 && PyErr_Occurred()) return fail_argument(name);
  out = static_cast<int64_t>(value);
  return true;
}

bool to_uint32(PyObject* o, const char* name, uint32_t& out) {
  Ref index = as_index(o);
  if (!index) return fail_argument(name);
  // Negative values and values of 2^64 or more get the interpreter's error.
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return fail_argument(name);
  if (value > std::numeric_limits<uint32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out = static_cast<uint32_t>(value);
  return true;
}

bool to_double(PyObject* o, const char* name, double& out) {
  if (PyFloat_CheckExact(o)) {
    out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  const double value = PyFloat_AsDouble(o);
  if (value == -1.0 && PyErr_Occurred()) return fail_argument(name);
  out = value;
  return true;
}

bool to_bool(PyObject* o, const char* name, bool& out) {
  if (o == Py_True || o == Py_False) {
    out = o == Py_True;
    return true;
  }
  const Kind numpy = is_numpy_bool(o);
  if (numpy == Kind::kError) return false;
  if (numpy == Kind::kYes) {
    PyNumberMethods* number = Py_TYPE(o)->tp_as_number;
    if (number != nullptr && number->nb_bool != nullptr) {
      const int truth = number->nb_bool(o);
      if (truth < 0) return fail_argument(name);
      out = truth != 0;
      return true;
    }
  }
  return type_error(name, "bool", o);
}

PyObject* new_str(const std::string& utf8) {
  return PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()));
}

}  // namespace vorel::py
