// The privilege the run holds once the port is open: none.
#ifndef BCDMON_MONITOR_PRIVILEGE_H_
#define BCDMON_MONITOR_PRIVILEGE_H_

// Gives up every privilege of the process that the open could have needed.
// True when none is left; false when some is kept, after saying on standard
// error which call failed and why.
bool GiveUpPrivilege();

#endif  // BCDMON_MONITOR_PRIVILEGE_H_
