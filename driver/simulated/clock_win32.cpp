#include <windows.h>

#include "driver/simulated/clock.h"

namespace {

long long per_second = 0;  // the counter's frequency, fixed at boot: asked once

}  // namespace

// The performance counter, not GetTickCount64: the tick is 10 to 16 ms, as
// long as one step of the simulated counter.
long long MonotonicMilliseconds() {
  if (per_second == 0) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    per_second = frequency.QuadPart;
  }
  LARGE_INTEGER count;
  QueryPerformanceCounter(&count);
  // Split, so that count * 1000 cannot overflow however long the uptime.
  return count.QuadPart / per_second * 1000 + count.QuadPart % per_second * 1000 / per_second;
}
