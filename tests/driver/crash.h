// How the test driver crashes when a test asks it to: each way is a fault of
// the kind a vendor's driver may meet, raised by the processor, the kernel or
// the C library as it would be there, never by a signal sent on purpose.
#ifndef BCDMON_TESTS_DRIVER_CRASH_H_
#define BCDMON_TESTS_DRIVER_CRASH_H_

namespace zeptest {

// Crashes the process the way `how` names:
//   "pointer"  a store through a bad pointer          SIGSEGV
//   "stack"    recursion without end                  SIGSEGV, no stack left
//   "bus"      a read beyond the end of a mapped file SIGBUS
//   "divide"   an integer division by zero            SIGFPE (on x86)
//   "illegal"  an illegal instruction                 SIGILL
//   "abort"    abort()                                SIGABRT
// Returns only when `how` names no way this platform has, or the way could
// not be set up (no file to map).
void Crash(const char* how);

}  // namespace zeptest

#endif  // BCDMON_TESTS_DRIVER_CRASH_H_
