// Why the kernel refused the hardware drivers the ports, and the step that
// helps where the program stands: the one line a refused OpenPort writes.
// The line advises root or a capability only where it would help; a
// locked-down kernel refuses both, and the line names it only where the
// kernel shows it.
#ifndef BCDMON_DRIVER_HARDWARE_REFUSAL_H_
#define BCDMON_DRIVER_HARDWARE_REFUSAL_H_

#include <cstddef>

namespace zep {

// The kernel's lockdown, as /sys/kernel/security/lockdown shows it between
// brackets; kUnseen where the file could not be read (no securityfs there).
enum class Lockdown { kUnseen, kNone, kIntegrity, kConfidentiality };

constexpr char kLockdownFile[] = "/sys/kernel/security/lockdown";
// The way to the ports on processors without port instructions: byte n of
// the file is I/O port n.
constexpr char kPortFile[] = "/dev/port";

Lockdown ReadLockdown(const char* file);

// Where the program stood when it asked for the ports.
struct Standing {
  bool root;            // effective user id 0
  bool held_rawio;      // CAP_SYS_RAWIO was in its effective set
  bool packaged;        // it is the program the Debian package installed
  Lockdown lockdown;    // as the kernel showed it after refusing
  const char* program;  // the running program's path; "" where unknown
};

// Writes into `text` what the driver's line says after its name, for the
// block at `first` refused with `error`; cut short to `size` if need be.
void DescribeRefusal(int first, int error, const Standing& standing, char* text, std::size_t size);

}  // namespace zep

#endif  // BCDMON_DRIVER_HARDWARE_REFUSAL_H_
