// The cost of waking every 2 ms and doing nothing else, with the same sleep
// the audio worker uses: the floor under any recording that polls at that
// rate. Prints the process CPU seconds and the wall seconds.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "platform/kernel.h"

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  const auto start = std::chrono::steady_clock::now();
  const std::clock_t cpu_start = std::clock();
  while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() <
         seconds) {
    vorel::platform::precise_sleep(std::chrono::milliseconds(2));
  }
  const double cpu = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%f %f\n", cpu, wall);
  return 0;
}
