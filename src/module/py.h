// The one place that includes Python.h, with the owner of a strong reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <type_traits>
#include <utility>

namespace vorel::py {

// True on the capture workers. Once finalization has begun, the interpreter
// ends any such thread that asks for the lock back by unwinding its stack;
// what is released on the way out must then leave Python alone (such a
// thread never holds the lock once finalization has begun).
extern thread_local bool t_worker_thread;

// Releases a strong reference, except on a worker that the interpreter is
// ending (then the reference is left to the exiting process).
inline void release_ref(PyObject* o) {
  if (o != nullptr && !(t_worker_thread && Py_IsFinalizing())) Py_DECREF(o);
}

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
      release_ref(std::exchange(o_, std::exchange(other.o_, nullptr)));
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { release_ref(o_); }

  PyObject* get() const { return o_; }
  // Hands the reference to the caller.
  PyObject* release() { return std::exchange(o_, nullptr); }
  explicit operator bool() const { return o_ != nullptr; }

 private:
  explicit Ref(PyObject* o) : o_(o) {}
  PyObject* o_ = nullptr;
};

// An entry point as the interpreter calls it: a failed allocation of our
// own code becomes MemoryError, so that no C++ exception crosses into the
// interpreter's frames. Not noexcept: once finalization has begun, the
// interpreter ends a thread that wants the lock back by unwinding it
// (pthread_exit), and that unwinding must pass through here.
template <auto Fn>
struct EntryPoint;
template <class R, class... A, R (*Fn)(A...)>
struct EntryPoint<Fn> {
  static R call(A... args) {
    try {
      return Fn(args...);
    } catch (const std::bad_alloc&) {
      (void)PyErr_NoMemory();
      if constexpr (std::is_pointer_v<R>) {
        return nullptr;
      } else {
        return -1;
      }
    }
  }
};
template <auto Fn>
inline constexpr auto entry = &EntryPoint<Fn>::call;

// A fast-call function as the PyCFunction a method table holds.
template <auto Fn>
PyCFunction as_cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<Fn>));
}

}  // namespace vorel::py
