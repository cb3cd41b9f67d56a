// Why the kernel refused the hardware drivers the ports, and the step that
// helps where the program stands: the one line a refused OpenPort writes.
// Root or a capability is advised only where it would help; a locked-down
// kernel refuses both, and is named only where it shows itself.
#ifndef BCDMON_DRIVER_REFUSAL_H_
#define BCDMON_DRIVER_REFUSAL_H_

#include <cstddef>

namespace zep {

// The kernel's lockdown, as /sys/kernel/security/lockdown shows it between
// brackets; kUnseen where the file could not be read (no securityfs there).
enum class Lockdown { kUnseen, kNone, kIntegrity, kConfidentiality };

constexpr char kLockdownFile[] = "/sys/kernel/security/lockdown";

Lockdown ReadLockdown(const char* file);

// Where the program stood when it asked for the ports.
struct Standing {
  bool root;            // effective user id 0
  bool held_rawio;      // CAP_SYS_RAWIO was in its effective set
  bool packaged;        // it is the program the Debian package installed
  Lockdown lockdown;    // as the kernel showed it after refusing
  const char* program;  // the running program's path; "" where unknown
};

// The whole line, line feed included, for the block at `first` refused with
// `error`; cut short to `size` if need be.
void DescribeRefusal(int first, int error, const Standing& standing, char* line, std::size_t size);

}  // namespace zep

#endif  // BCDMON_DRIVER_REFUSAL_H_
