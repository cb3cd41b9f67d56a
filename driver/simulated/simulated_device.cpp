// The simulated device ships beside the program, so that it can be tried
// without a board. The port at 888 shows a two-digit packed-BCD counter of
// hundredths of a second since the port was opened: 00, 01, ... 99, then 00
// again.
#include "driver/block.h"
#include "driver/port_driver.h"
#include "driver/simulated/clock.h"

namespace {

constexpr long long kStepMilliseconds = 10;

long long opened_at = 0;  // set by OpenPort

int PackedBcd(int value) { return (value / 10) << 4 | value % 10; }

}  // namespace

extern "C" {

int ZEP_CALL OpenPort(int address) {
  if (address != zep::kProgramAddress) return 0;
  opened_at = MonotonicMilliseconds();
  return 1;
}

int ZEP_CALL ConfigPort(int /*address*/, int /*value*/) { return 1; }

int ZEP_CALL ReadPort(int address) {
  if (address != zep::kProgramAddress) return zep::kFloatingBus;
  const long long steps = (MonotonicMilliseconds() - opened_at) / kStepMilliseconds;
  return PackedBcd(static_cast<int>(steps % 100));
}

int ZEP_CALL ClosePort(void) { return 1; }
}
