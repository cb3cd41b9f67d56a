#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "driver/capabilities.h"
#include "monitor/privilege.h"

namespace {

void ReportKept(const char* call, const char* why) {
  std::fprintf(stderr,
               "bcdmon: cannot give up its capabilities (%s: %s), and it does not read the port "
               "while it holds them; whatever refuses the call, such as a seccomp filter or a "
               "security module, must let the program lower its own capabilities\n",
               call, why);
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
