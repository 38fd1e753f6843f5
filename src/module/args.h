// Argument binding and conversion for every entry point: positional and
// keyword matching by the usual Python rules, then one conversion per
// parameter in signature order, each failure naming its argument.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>

#include "module/py.h"

namespace vorel::py {

struct Param {
  const char* name;
  bool keyword_only = false;
  bool required = false;
};

struct Signature {
  // As shown in generic errors, for example "list_windows()".
  const char* display_name;
  std::span<const Param> params;
};

inline constexpr size_t kMaxParams = 8;

// Bound arguments: borrowed references, null where an argument was left out.
struct Bound {
  PyObject* slots[kMaxParams] = {};
  PyObject* operator[](size_t i) const { return slots[i]; }
};

// Vectorcall form (METH_FASTCALL | METH_KEYWORDS). False with TypeError set
// on a wrong count, an unexpected or repeated keyword, or a missing argument.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          Bound& out);
// Tuple-and-dict form (constructors).
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, Bound& out);

// Conversions. Each returns false with an exception set; a TypeError then
// carries the "argument 'name': " prefix and keeps the original's cause.
bool to_text(PyObject* o, const char* name, std::string& out);
bool to_int32(PyObject* o, const char* name, int32_t& out);
bool to_int64(PyObject* o, const char* name, int64_t& out);
bool to_uint32(PyObject* o, const char* name, uint32_t& out);
bool to_double(PyObject* o, const char* name, double& out);
bool to_bool(PyObject* o, const char* name, bool& out);

// None (or a left-out argument) means absent.
template <class T>
bool to_optional(PyObject* o, const char* name, std::optional<T>& out,
                 bool (*convert)(PyObject*, const char*, T&)) {
  if (o == nullptr || o == Py_None) {
    out.reset();
    return true;
  }
  T value{};
  if (!convert(o, name, value)) return false;
  out = std::move(value);
  return true;
}

// A text value as a new str object.
PyObject* new_str(const std::string& utf8);

}  // namespace vorel::py
