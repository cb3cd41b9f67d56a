#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "monitor/privilege.h"

namespace {

using CapabilityHeader = __user_cap_header_struct;
using CapabilitySets = __user_cap_data_struct[_LINUX_CAPABILITY_U32S_3];

void ReportKept(const char* call, const char* why) {
  std::fprintf(stderr,
               "bcdmon: cannot give up its capabilities (%s: %s), and it does not read the port "
               "while it holds them; whatever refuses the call, such as a seccomp filter or a "
               "security module, must let the program lower its own capabilities\n",
               call, why);
}

bool NoneHeld(const CapabilitySets& sets) {
  return std::all_of(std::begin(sets), std::end(sets), [](const auto& set) {
    return set.effective == 0 && set.permitted == 0 && set.inheritable == 0;
  });
}

}  // namespace

// The system calls themselves, as the hardware drivers make them: no library
// but the C library. Lowering needs no privilege, so only something outside
// the program (a seccomp filter, a security module) can refuse it.
bool GiveUpPrivilege() {
  // The ambient set follows the permitted one down to nothing; cleared on its
  // own too, as the drivers do. Kernels without it answer EINVAL, harmlessly.
  prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0L, 0L, 0L);
  // pid 0: the calling thread, the program's only one.
  CapabilityHeader header = {_LINUX_CAPABILITY_VERSION_3, 0};
  CapabilitySets sets = {};
  if (syscall(SYS_capset, &header, sets) != 0) {
    ReportKept("capset", std::strerror(errno));
    return false;
  }
  // Asked back rather than trusted: the run must not read with any left.
  if (syscall(SYS_capget, &header, sets) != 0) {
    ReportKept("capget", std::strerror(errno));
    return false;
  }
  if (!NoneHeld(sets)) {
    ReportKept("capget", "some remain after capset emptied every set");
    return false;
  }
  return true;
}
