#include <ctime>

#include "driver/simulated/clock.h"

long long MonotonicMilliseconds() {
  timespec now{};
  // CLOCK_MONOTONIC cannot fail with a valid pointer; it is not set back
  // when the wall clock is.
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
