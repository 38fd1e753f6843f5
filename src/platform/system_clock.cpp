#include "platform/system_clock.h"

#include "platform/kernel.h"
#include "util/no_destructor.h"

namespace vorel {
namespace {

class SystemClock final : public Clock {
 public:
  time_point now() override { return std::chrono::steady_clock::now(); }
  void sleep_for(std::chrono::nanoseconds duration) override {
    platform::precise_sleep(duration);
  }
};

}  // namespace

Clock& system_clock() {
  // Workers may still use it while the process exits.
  static NoDestructor<SystemClock> clock;
  return *clock;
}

}  // namespace vorel
