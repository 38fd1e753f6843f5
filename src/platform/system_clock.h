// The real clock of the workers: the steady clock and the platform's
// high-resolution sleep.
#pragma once

#include "util/clock.h"

namespace vorel {

Clock& system_clock();

}  // namespace vorel
