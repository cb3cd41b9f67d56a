// The hardware driver on x86 uses the port instructions themselves. OpenPort
// asks the kernel for exactly the four ports of the board's block (ioperm),
// never for all of them (iopl); after that every reading is one in
// instruction, with no system call.
#include <sys/io.h>

#include <cerrno>

#include "driver/block.h"
#include "driver/hardware/hardware.h"
#include "driver/port_driver.h"

namespace {

constexpr int kNoBlock = -1;
constexpr int kGrant = 1;
constexpr int kGiveBack = 0;

int opened = kNoBlock;  // the program's address while its board's block is granted
zep::Board board{};     // ClosePort takes no address, so the block is kept here

int AskForBlock(int address, int turn_on) {
  return ioperm(static_cast<unsigned long>(address), zep::kBlockSize, turn_on);
}

// The driver touches only the open block: a port instruction on any other
// port would kill the process with a segmentation fault.
bool IsOpen(int address) { return opened != kNoBlock && address == opened; }

}  // namespace

extern "C" {

// Whether the kernel grants the block or not, the capabilities go before
// anything else runs. The grant stays with the process without them.
int ZEP_CALL OpenPort(int address) {
  zep::Board found{};
  if (!zep::FindOpenableBoard(address, &found)) return 0;
  if (opened != kNoBlock) ClosePort();
  const bool granted = AskForBlock(found.base, kGrant) == 0;
  zep::GiveUpCapabilities();
  if (!granted) {
    zep::ReportNoAccess(found.base, errno);
    return 0;
  }
  opened = address;
  board = found;
  return 1;
}

int ZEP_CALL ConfigPort(int address, int value) {
  if (!IsOpen(address)) return 0;
  outb(static_cast<unsigned char>(value & 0xFF), static_cast<unsigned short>(board.config));
  return 1;
}

int ZEP_CALL ReadPort(int address) {
  if (!IsOpen(address)) return zep::kFloatingBus;
  return inb(static_cast<unsigned short>(board.read));
}

int ZEP_CALL ClosePort(void) {
  if (opened == kNoBlock) return 0;
  const int result = AskForBlock(board.base, kGiveBack);
  opened = kNoBlock;
  return result == 0 ? 1 : 0;
}
}
