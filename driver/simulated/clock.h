// The simulated device reads the platform's own monotonic clock, so that the
// library needs nothing of the C++ runtime.
#ifndef BCDMON_DRIVER_SIMULATED_CLOCK_H_
#define BCDMON_DRIVER_SIMULATED_CLOCK_H_

// Returns the milliseconds of a clock that only moves forward, counted from
// a point of the platform's choosing (on Linux, boot).
long long MonotonicMilliseconds();

#endif  // BCDMON_DRIVER_SIMULATED_CLOCK_H_
