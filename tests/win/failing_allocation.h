// Allocation failures on demand: this test program replaces the global
// operator new, which then fails (throws std::bad_alloc) on the chosen
// allocation of the calling thread.
#pragma once

namespace vorel::testing {

// The `n`-th allocation from now on this thread fails (1: the next one);
// 0 lets every allocation succeed again.
void fail_allocation(int n);

// Whether the failure set up last has happened (and so been used up).
bool allocation_failed();

}  // namespace vorel::testing
