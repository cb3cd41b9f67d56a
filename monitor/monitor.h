// The monitor run: open and configure the port, show every reading until a
// key is pressed, close the port.
#ifndef BCDMON_MONITOR_MONITOR_H_
#define BCDMON_MONITOR_MONITOR_H_

// The exit status of the process: 1 after a normal run, 0 when the port could
// not be opened.
int MonitorRun();

#endif  // BCDMON_MONITOR_MONITOR_H_
