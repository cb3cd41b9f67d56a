// The pause between readings: the platform's own sleep.
#ifndef BCDMON_MONITOR_PAUSE_H_
#define BCDMON_MONITOR_PAUSE_H_

// Suspends the calling thread for `milliseconds`.
void Pause(unsigned int milliseconds);

#endif  // BCDMON_MONITOR_PAUSE_H_
