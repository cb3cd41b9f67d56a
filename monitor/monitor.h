// The monitor run: open and configure the port, show every reading until a
// key is pressed, close the port.
#ifndef BCDMON_MONITOR_MONITOR_H_
#define BCDMON_MONITOR_MONITOR_H_

// The exit status of the process: 1 after a normal run, 0 when the port could
// not be opened.
int MonitorRun();

// The two characters that show `reading` as unpacked BCD, more significant
// half first. Halves above 9 come out as the characters after '9' (":" to "?").
char HighDigit(unsigned int reading);
char LowDigit(unsigned int reading);

#endif  // BCDMON_MONITOR_MONITOR_H_
