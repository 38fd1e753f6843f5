#include "module/panic.h"

#include "module/args.h"

namespace vorel::py {

PyObject* panic_exception_type() {
  // Lives until the process ends; only touched with the interpreter lock held.
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc(
        "_native_core.PanicException",
        "Raised when native code called from Python fails an internal check.\n\n"
        "It derives from BaseException rather than Exception, so that it normally\n"
        "propagates through the whole stack and ends the interpreter instead of\n"
        "being caught by ordinary `except Exception` clauses.",
        PyExc_BaseException, nullptr);
  }
  return type;
}

PyObject* raise_panic(const std::string& text) {
  PyObject* type = panic_exception_type();
  if (type == nullptr) return nullptr;
  Ref message = Ref::steal(new_str(text));
  if (!message) return nullptr;
  Ref args = Ref::steal(PyTuple_Pack(1, message.get()));
  if (!args) return nullptr;
  PyErr_SetObject(type, args.get());
  return nullptr;
}

}  // namespace vorel::py
