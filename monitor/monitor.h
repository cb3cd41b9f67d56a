// The monitor run: open and configure the port, show every reading until a
// key is pressed, close the port.
#ifndef BCDMON_MONITOR_MONITOR_H_
#define BCDMON_MONITOR_MONITOR_H_

// The exit statuses of the process.
constexpr int kStatusOpenFailed = 0;    // the port could not be opened
constexpr int kStatusRunEnded = 1;      // a normal run, ended by a key
constexpr int kStatusOutputFailed = 2;  // standard output failed, and the run ended there

// Returns the exit status of the process.
int MonitorRun();

#endif  // BCDMON_MONITOR_MONITOR_H_
