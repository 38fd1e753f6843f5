// The entry of a method that the platform calls on an object of ours (a COM
// method). A C++ exception must never unwind into the platform's frames:
// that ends the process. Each such method runs its body through
// guarded_entry, which turns an escaping exception into the HRESULT a COM
// caller understands.
#pragma once

#include <new>
#include <system_error>
#include <utility>

#include "platform/win32/compat.h"

namespace vorel::win32 {

// The HRESULT for the exception being handled: E_OUTOFMEMORY for a failed
// allocation, E_UNEXPECTED for anything else (a lock the runtime could not
// take, for one). Call only inside a catch block.
inline HRESULT hresult_of_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::system_error& e) {
    return e.code() == std::errc::not_enough_memory ? E_OUTOFMEMORY : E_UNEXPECTED;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

// Runs `body`, which returns the method's HRESULT. If it throws instead,
// `on_exception` is told the failure (it must not throw) and that failure is
// returned.
template <class Body, class OnException>
HRESULT guarded_entry(Body&& body, OnException&& on_exception) noexcept {
  try {
    return std::forward<Body>(body)();
  } catch (...) {
    const HRESULT failure = hresult_of_current_exception();
    std::forward<OnException>(on_exception)(failure);
    return failure;
  }
}

template <class Body>
HRESULT guarded_entry(Body&& body) noexcept {
  return guarded_entry(std::forward<Body>(body), [](HRESULT) noexcept {});
}

}  // namespace vorel::win32
