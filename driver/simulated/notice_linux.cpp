// The simulated device says what it is as soon as it is loaded, before the
// program's first message, so that nobody takes its counter for a board's
// byte. It writes to standard error, so that standard output stays the
// program's own. Only on Linux: the tests of the Windows console count its
// writes byte for byte.
#include "driver/driver_line.h"

namespace {

__attribute__((constructor)) void SayWhatItIs() {
  zep::WriteDriverLine("simulated device, no board is read: a counter of hundredths of a second");
}

}  // namespace
