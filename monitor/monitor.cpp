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

// Shows a reading after each pause until a key is pressed. False when
// standard output failed, which ends the run at once.
bool ShowReadingsUntilAKey() {
  do {
    const auto reading = static_cast<unsigned int>(ReadPort(zep::kProgramAddress)) & kReadingMask;
    if (!ConsolePrint("\nUnpacked BCD : %c%c", HighDigit(reading), LowDigit(reading))) {
      return false;
    }
    Pause(kPauseMilliseconds);
  } while (!KeyPending());
  return true;
}

}  // namespace

// Each announcement goes out before the call it announces and its outcome
// after the call returns, so the announcement is on the screen while the
// driver works. Where standard output fails before the port is open, the
// port is left alone.
int MonitorRun() {
  if (!ConsolePrint("\nOpening Port...")) return kStatusOutputFailed;
  if (OpenPort(zep::kProgramAddress) == 0) {
    ConsolePrint("Failed");
    return kStatusOpenFailed;
  }
  // Whatever the driver needed for the open, nothing after it needs a
  // privilege, and a run that cannot give it up does not go on holding it.
  if (!GiveUpPrivilege()) {
    ClosePort();
    ConsolePrint("Failed");
    return kStatusOpenFailed;
  }
  ConsolePrint("Passed");

  ConsolePrint("\nConfig Port....");
  ConfigPort(zep::kProgramAddress, kConfiguration);
  ConsolePrint("done");

  if (!ShowReadingsUntilAKey()) {
    ClosePort();
    return kStatusOutputFailed;
  }

  ConsolePrint("\nClosing port...");
  ClosePort();
  ConsolePrint("done\n\n");
  return kStatusRunEnded;
}
