#include "failing_allocation.h"

#include <cstdlib>
#include <new>

namespace {

thread_local int t_countdown = 0;
thread_local bool t_failed = false;

}  // namespace

namespace vorel::testing {

void fail_allocation(int n) {
  t_countdown = n;
  t_failed = false;
}

bool allocation_failed() { return t_failed; }

}  // namespace vorel::testing

// The replacements. Array forms and the nothrow forms of the runtime go
// through these; memory comes from malloc, as the runtime's own would.
void* operator new(std::size_t size) {
  if (t_countdown > 0 && --t_countdown == 0) {
    t_failed = true;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
