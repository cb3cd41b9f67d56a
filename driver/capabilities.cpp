#include "driver/capabilities.h"

#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zep {

namespace {

// pid 0: the calling thread.
__user_cap_header_struct Header() { return {_LINUX_CAPABILITY_VERSION_3, 0}; }

}  // namespace

bool DropCapabilities() {
  // The ambient set follows the permitted one down to nothing anyway. It is
  // cleared on its own so that it is empty even where capset is refused.
  // Kernels without ambient capabilities answer EINVAL, harmlessly.
  prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0L, 0L, 0L);
  __user_cap_header_struct header = Header();
  CapabilitySets none = {};
  return syscall(SYS_capset, &header, none) == 0;
}

bool ReadCapabilities(CapabilitySets& sets) {
  __user_cap_header_struct header = Header();
  return syscall(SYS_capget, &header, sets) == 0;
}

}  // namespace zep
