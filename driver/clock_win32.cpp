#include <windows.h>

#include "driver/clock.h"

// The performance counter, not GetTickCount64: the tick is 10 to 16 ms, as
// long as one step of the simulated counter.
long long MonotonicMilliseconds() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER count;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&count);
  // Split, so that count * 1000 cannot overflow however long the uptime.
  const long long per_second = frequency.QuadPart;
  return count.QuadPart / per_second * 1000 + count.QuadPart % per_second * 1000 / per_second;
}
