// The one place that includes Python.h, with the owner of a strong reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vorel::py {

// Owns one strong reference and releases it exactly once.
class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (may be null).
  static Ref steal(PyObject* o) { return Ref(o); }
  // Adds a reference to a borrowed one.
  static Ref borrow(PyObject* o) {
    Py_XINCREF(o);
    return Ref(o);
  }
  Ref(Ref&& other) noexcept : o_(std::exchange(other.o_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = std::exchange(o_, std::exchange(other.o_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(o_); }

  PyObject* get() const { return o_; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(o_, nullptr); }
  explicit operator bool() const { return o_ != nullptr; }

 private:
  explicit Ref(PyObject* o) : o_(o) {}
  PyObject* o_ = nullptr;
};

// A fast-call function as the PyCFunction a method table holds.
template <auto Fn>
PyCFunction as_cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Fn));
}

}  // namespace vorel::py
