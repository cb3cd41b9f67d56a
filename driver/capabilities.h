// Giving up every capability of the process: the hardware drivers do it as
// soon as they hold the ports, and the program does it once the port is
// open, whatever the driver. Both make the system calls themselves, so that
// nothing but the C library is needed.
#ifndef BCDMON_DRIVER_CAPABILITIES_H_
#define BCDMON_DRIVER_CAPABILITIES_H_

#include <linux/capability.h>

namespace zep {

using CapabilitySets = __user_cap_data_struct[_LINUX_CAPABILITY_U32S_3];

// Empties the effective, permitted, inheritable and ambient sets of the
// calling thread, the program's only one. Lowering needs no privilege, so
// only something outside the process (a seccomp filter, a security module)
// can refuse it: then it returns false, with errno set by capset.
bool DropCapabilities();

// Fills `sets` with the calling thread's sets. Returns false, with errno
// set, where the kernel will not say.
bool ReadCapabilities(CapabilitySets& sets);

}  // namespace zep

#endif  // BCDMON_DRIVER_CAPABILITIES_H_
