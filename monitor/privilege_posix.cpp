#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "driver/capabilities.h"
#include "driver/kept_lines.h"
#include "monitor/privilege.h"

namespace {

// Where standard error is the terminal that shows "Opening Port...", the
// line waits until "Failed" is there too, and follows on a line of its own.
void ReportKept(const char* call, const char* why) {
  char line[512];
  const int length =
      std::snprintf(line, sizeof line,
                    "bcdmon: cannot give up its capabilities (%s: %s), and it does not read the "
                    "port while it holds them; whatever refuses the call, such as a seccomp filter "
                    "or a security module, must let the program lower its own capabilities\n",
                    call, why);
  if (length <= 0) return;
  const std::size_t size = std::min(static_cast<std::size_t>(length), sizeof line - 1);
  if (zep::ShareATerminal()) {
    zep::KeepLines(line, size);
  } else {
    std::fwrite(line, 1, size, stderr);
  }
}

bool NoneHeld(const zep::CapabilitySets& sets) {
  return std::all_of(std::begin(sets), std::end(sets), [](const auto& set) {
    return set.effective == 0 && set.permitted == 0 && set.inheritable == 0;
  });
}

}  // namespace

bool GiveUpPrivilege() {
  if (!zep::DropCapabilities()) {
    ReportKept("capset", std::strerror(errno));
    return false;
  }
  // The sets are asked back rather than trusted: the run must not read with
  // any capability left.
  zep::CapabilitySets sets = {};
  if (!zep::ReadCapabilities(sets)) {
    ReportKept("capget", std::strerror(errno));
    return false;
  }
  if (!NoneHeld(sets)) {
    ReportKept("capget", "some remain after capset emptied every set");
    return false;
  }
  return true;
}
