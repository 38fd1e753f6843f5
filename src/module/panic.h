// PanicException: raised for internal failures (broken invariants that
// Python input reached, such as a time-out that cannot become a duration).
#pragma once

#include <string>

#include "module/py.h"

namespace vorel::py {

// The exception class, created on first use and kept for the process.
PyObject* panic_exception_type();

// Sets PanicException with `text` as its only argument; returns null.
PyObject* raise_panic(const std::string& text);

}  // namespace vorel::py
