#include "driver/hardware/refusal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "driver/block.h"

namespace zep {

namespace {

constexpr const char* kModeNames[] = {"", "none", "integrity", "confidentiality"};  // by Lockdown
constexpr std::size_t kCommandSize = PATH_MAX + 16;  // a path longer is cut short
constexpr std::size_t kAdviceSize = kCommandSize + 512;
constexpr char kPlainCharacters[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/._+-";

bool IsLockedDown(Lockdown lockdown) {
  return lockdown == Lockdown::kIntegrity || lockdown == Lockdown::kConfidentiality;
}

// Writes ": sudo PROGRAM", with the program as the user can paste it: in
// single quotes where the shell would split or expand it. It writes nothing
// where the program is unknown.
void SudoCommand(const char* program, char (&command)[kCommandSize]) {
  constexpr char kSudo[] = ": sudo ";
  if (*program == '\0' || program[std::strspn(program, kPlainCharacters)] == '\0') {
    std::snprintf(command, sizeof command, "%s%s", *program != '\0' ? kSudo : "", program);
    return;
  }
  std::memcpy(command, kSudo, sizeof kSudo - 1);
  std::size_t length = sizeof kSudo - 1;
  command[length++] = '\'';
  for (; *program != '\0' && length + 6 < sizeof command; ++program) {
    if (*program == '\'') {
      std::memcpy(command + length, "'\\''", 4);  // a quote ends the quoting to stand alone
      length += 4;
    } else {
      command[length++] = *program;
    }
  }
  command[length++] = '\'';
  command[length] = '\0';
}

// Writes what follows the system's word for the error: the cause, and what
// helps. ioperm refuses with EPERM. Opening /dev/port fails with EACCES
// where its mode keeps the user out, before the kernel asks for anything
// else.
void Advise(int error, const Standing& standing, char* advice, std::size_t size) {
  char sudo[kCommandSize];
  SudoCommand(standing.program, sudo);
  const bool refused = error == EPERM || error == EACCES;
  if (refused && IsLockedDown(standing.lockdown)) {
    std::snprintf(advice, size,
                  "; the kernel is locked down (%s), as under UEFI Secure Boot, and refuses port "
                  "I/O to every process, root included: a board that a comedi driver of the "
                  "kernel knows (an 8255 card, the printer port, a USB module) is read through "
                  "it, with no privilege, by the comedi device (bcdmon-comedi; bcdmon(1), COMEDI "
                  "DEVICE); for any other board, turning Secure Boot off in the firmware's "
                  "setup lifts it (see kernel_lockdown(7))",
                  kModeNames[static_cast<int>(standing.lockdown)]);
  } else if (error == EPERM && standing.held_rawio) {
    std::snprintf(advice, size, ", although the program held CAP_SYS_RAWIO; %s",
                  standing.lockdown == Lockdown::kNone
                      ? "the kernel is not locked down, so a user namespace or container "
                        "withholds port I/O, or a security module refused it"
                      : "a user namespace or container withholds port I/O, a security module "
                        "refused it, or the kernel is locked down with no securityfs at "
                        "/sys/kernel/security to show it (see kernel_lockdown(7))");
  } else if (error == EPERM && standing.root) {
    std::snprintf(advice, size,
                  "; run by root, but without CAP_SYS_RAWIO: a container or the capability "
                  "bounding set withholds it");
  } else if (error == EACCES && standing.root) {
    std::snprintf(advice, size,
                  "; run by root, yet kept from opening %s: by a security module (see the "
                  "kernel's log) or the file's owner and mode (ls -l %s)",
                  kPortFile, kPortFile);
  } else if (error == EACCES) {
    std::snprintf(advice, size, "; %s opens for root alone: run it as root%s", kPortFile, sudo);
  } else if (error == EPERM && standing.packaged) {
    std::snprintf(advice, size,
                  "; run it as root (sudo bcdmon), or have the group bcdmon granted the ports and "
                  "join it: sudo dpkg-reconfigure bcdmon && sudo adduser $USER bcdmon, then log "
                  "in again");
  } else if (error == EPERM) {
    std::snprintf(advice, size, "; run it as root%s", sudo);
  } else if (error == ENOSYS) {
    std::snprintf(advice, size,
                  "; this kernel has no port I/O (some kernels and virtual machines leave it "
                  "out), and no privilege changes that");
  } else {
    advice[0] = '\0';
  }
}

}  // namespace

Lockdown ReadLockdown(const char* file) {
  const int descriptor = open(file, O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) return Lockdown::kUnseen;
  char text[128];
  const ssize_t length = read(descriptor, text, sizeof text - 1);
  close(descriptor);
  if (length <= 0) return Lockdown::kUnseen;
  text[length] = '\0';
  // "none [integrity] confidentiality": the mode in force is in brackets.
  const char* const start = std::strchr(text, '[');
  const char* const end = start != nullptr ? std::strchr(start, ']') : nullptr;
  if (end == nullptr) return Lockdown::kUnseen;
  const auto length_in_brackets = static_cast<std::size_t>(end - start - 1);
  for (const Lockdown mode : {Lockdown::kNone, Lockdown::kIntegrity, Lockdown::kConfidentiality}) {
    const char* const name = kModeNames[static_cast<int>(mode)];
    if (std::strlen(name) == length_in_brackets &&
        std::strncmp(start + 1, name, length_in_brackets) == 0) {
      return mode;
    }
  }
  return Lockdown::kUnseen;
}

void DescribeRefusal(int first, int error, const Standing& standing, char* text, std::size_t size) {
  char advice[kAdviceSize];
  Advise(error, standing, advice, sizeof advice);
  std::snprintf(text, size, "cannot use I/O ports 0x%x to 0x%x: %s%s",
                static_cast<unsigned int>(first), static_cast<unsigned int>(first + kBlockSize - 1),
                std::strerror(error), advice);
}

}  // namespace zep
