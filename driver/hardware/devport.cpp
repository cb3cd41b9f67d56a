// The hardware driver on processors without x86 port instructions uses the
// kernel's /dev/port, where the byte at offset n is I/O port n. Each reading
// is one pread. Opening /dev/port needs root, or CAP_SYS_RAWIO and
// read-write access to the file.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "driver/block.h"
#include "driver/hardware/hardware.h"
#include "driver/hardware/refusal.h"
#include "driver/port_driver.h"

namespace {

constexpr int kNoFile = -1;

int port_file = kNoFile;
int opened = 0;      // the program's address while port_file is open
zep::Board board{};  // the block it stands for

bool IsOpen(int address) { return port_file != kNoFile && address == opened; }

}  // namespace

extern "C" {

// Whether the open succeeds or not, the capabilities go before anything else
// runs. The open file needs none to be read and written.
int ZEP_CALL OpenPort(int address) {
  zep::Board found{};
  if (!zep::FindOpenableBoard(address, &found)) return 0;
  if (port_file != kNoFile) ClosePort();
  port_file = open(zep::kPortFile, O_RDWR | O_CLOEXEC);
  zep::GiveUpCapabilities();
  if (port_file == kNoFile) {
    zep::ReportNoAccess(found.base, errno);
    return 0;
  }
  opened = address;
  board = found;
  return 1;
}

int ZEP_CALL ConfigPort(int address, int value) {
  if (!IsOpen(address)) return 0;
  const auto byte = static_cast<unsigned char>(value & 0xFF);
  return pwrite(port_file, &byte, 1, board.config) == 1 ? 1 : 0;
}

int ZEP_CALL ReadPort(int address) {
  unsigned char byte = zep::kFloatingBus;
  if (IsOpen(address) && pread(port_file, &byte, 1, board.read) != 1) return zep::kFloatingBus;
  return byte;
}

int ZEP_CALL ClosePort(void) {
  if (port_file == kNoFile) return 0;
  const int result = close(port_file);
  port_file = kNoFile;
  return result == 0 ? 1 : 0;
}
}
