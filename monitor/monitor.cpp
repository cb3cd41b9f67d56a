#include "monitor/monitor.h"

#include "console/console.h"
#include "driver/block.h"
#include "driver/port_driver.h"
#include "monitor/pause.h"
#include "monitor/privilege.h"

namespace {

constexpr int kConfiguration = 137;  // 0x89
constexpr unsigned int kPauseMilliseconds = 1;
constexpr unsigned int kReadingMask = 0xFF;
constexpr unsigned int kHalfMask = 0x0F;
constexpr unsigned int kDigitZero = 0x30;  // '0'

// The reading is packed BCD, more significant digit in the high half. Halves
// above 9 are not checked: they come out as the characters after '9', ":" to "?".
char HighDigit(unsigned int reading) { return static_cast<char>(kDigitZero | reading >> 4); }
char LowDigit(unsigned int reading) {
  return static_cast<char>(kDigitZero | (reading & kHalfMask));
}

}  // namespace

// Each announcement goes out before the call it announces and its outcome
// after the call returns, so the announcement is on the screen while the
// driver works.
int MonitorRun() {
  ConsolePrint("\nOpening Port...");
  if (OpenPort(zep::kProgramAddress) == 0) {
    ConsolePrint("Failed");
    return 0;
  }
  // Whatever the driver needed for the open, nothing after it needs a
  // privilege, and a run that cannot give it up does not go on holding it.
  if (!GiveUpPrivilege()) {
    ClosePort();
    ConsolePrint("Failed");
    return 0;
  }
  ConsolePrint("Passed");

  ConsolePrint("\nConfig Port....");
  ConfigPort(zep::kProgramAddress, kConfiguration);
  ConsolePrint("done");

  do {
    const auto reading = static_cast<unsigned int>(ReadPort(zep::kProgramAddress)) & kReadingMask;
    ConsolePrint("\nUnpacked BCD : %c%c", HighDigit(reading), LowDigit(reading));
    Pause(kPauseMilliseconds);
  } while (!KeyPending());

  ConsolePrint("\nClosing port...");
  ClosePort();
  ConsolePrint("done\n\n");
  return 1;
}
