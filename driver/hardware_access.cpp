#include "driver/hardware_access.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace zep {

namespace {

// Root or the capability helps only where the kernel withheld the ports from
// this process: EPERM from ioperm, EPERM or EACCES opening /dev/port. EACCES
// is the file's mode refusing the user before the kernel asks for the
// capability, which then does not help alone.
void ReportNoPrivilege(unsigned int first, unsigned int last, int error) {
  // The capability has to be on the program file that runs, so name it.
  char program[PATH_MAX] = "the program";
  const ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
  if (length > 0) program[length] = '\0';
  const bool file_refused = error == EACCES;
  std::fprintf(stderr,
               "%s: cannot use I/O ports 0x%x to 0x%x: %s; run as root, or grant the program "
               "CAP_SYS_RAWIO (sudo setcap cap_sys_rawio+ep %s)%s%s\n",
               kDriverName, first, last, std::strerror(error), program,
               file_refused ? " and its user read and write access to " : "",
               file_refused ? kPortFile : "");
}

}  // namespace

void ReportNoAccess(int address, int error) {
  const auto first = static_cast<unsigned int>(address);
  const auto last = static_cast<unsigned int>(address + kBlockSize - 1);
  if (error == EPERM || error == EACCES) {
    ReportNoPrivilege(first, last, error);
    return;
  }
  const char* const why =
      error == ENOSYS
          ? "; this kernel has no port I/O (some kernels and virtual machines leave it out), "
            "and no privilege changes that"
          : "";
  std::fprintf(stderr, "%s: cannot use I/O ports 0x%x to 0x%x: %s%s\n", kDriverName, first, last,
               std::strerror(error), why);
}

void GiveUpCapabilities() {
  const int saved_errno = errno;  // the refusal, for the driver's line
  // The ambient set follows the permitted one down to nothing anyway; it is
  // cleared on its own so that it is empty even where the capset below were
  // refused. Kernels without ambient capabilities answer EINVAL, harmlessly.
  prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0L, 0L, 0L);
  // The system call itself, not libcap: all three sets empty, for the calling
  // thread (pid 0), the program's only one. Lowering needs no privilege.
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
  syscall(SYS_capset, &header, none);
  errno = saved_errno;
}

bool FindOpenableBoard(int address, Board* board) {
  if (!IsBlockAddress(address)) {
    GiveUpCapabilities();
    ReportNoBlock(address);
    return false;
  }
  if (!FindBoard(address, board)) {
    GiveUpCapabilities();
    return false;
  }
  return true;
}

void ReportNoBlock(int address) {
  std::fprintf(stderr, "%s: no block of %d I/O ports at %d: the address must be 0 to 0x%x\n",
               kDriverName, kBlockSize, address, static_cast<unsigned int>(kHighestBlock));
}

}  // namespace zep
