// The simulated device's clock, after the platform's own monotonic clock, so
// that the library needs nothing of the C++ runtime.
#ifndef BCDMON_DRIVER_CLOCK_H_
#define BCDMON_DRIVER_CLOCK_H_

// Milliseconds of a clock that only moves forward, from a fixed point of the
// platform's choosing (Linux: boot).
long long MonotonicMilliseconds();

#endif  // BCDMON_DRIVER_CLOCK_H_
