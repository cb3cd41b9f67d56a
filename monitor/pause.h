// The pause between readings, after the platform's own Sleep.
#ifndef BCDMON_MONITOR_PAUSE_H_
#define BCDMON_MONITOR_PAUSE_H_

// Suspends the calling thread for `milliseconds`.
void Sleep(unsigned int milliseconds);

#endif  // BCDMON_MONITOR_PAUSE_H_
