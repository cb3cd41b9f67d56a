#include "driver/hardware/hardware.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "driver/block.h"
#include "driver/capabilities.h"
#include "driver/driver_line.h"
#include "driver/hardware/refusal.h"
#include "driver/loaded_board.h"

namespace zep {

namespace {

// The packaged program, whose users the group's grant can help. Only a
// build that makes the Debian package knows it ("" otherwise).
constexpr char kPackagedProgram[] = BCDMON_PACKAGED_PROGRAM;

bool held_rawio = false;  // CAP_SYS_RAWIO was effective when the capabilities went

bool HoldsRawIo() {
  CapabilitySets sets = {};
  return ReadCapabilities(sets) &&
         (sets[CAP_TO_INDEX(CAP_SYS_RAWIO)].effective & CAP_TO_MASK(CAP_SYS_RAWIO)) != 0;
}

void ReportNoBlock(int address) {
  WriteDriverLine("no block of %d I/O ports at %d: the address must be 0 to 0x%x", kBlockSize,
                  address, static_cast<unsigned int>(kHighestBlock));
}

}  // namespace

// Says which ports the driver will touch, so that a wrong board file shows
// before a port is touched, and that the comedi device's keys, where the
// file sets them, move nothing here.
bool AcceptBoard(const BoardFile& file) {
  const Board board = BoardAt(kProgramAddress, file);
  const bool comedi_keys = file.comedi[0] != '\0' || file.subdevice != kAnySubdevice;
  WriteDriverLine(
      "hardware driver: reads I/O port 0x%x and configures 0x%x, of the block 0x%x to 0x%x "
      "(%s%s%s)%s",
      static_cast<unsigned int>(board.read), static_cast<unsigned int>(board.config),
      static_cast<unsigned int>(board.base), static_cast<unsigned int>(board.base + kBlockSize - 1),
      file.present ? "board file " : "no board file ", file.name,
      file.present ? "" : ": the defaults",
      comedi_keys ? "; the file's comedi and subdevice are the comedi device's, which this driver "
                    "ignores"
                  : "");
  return true;
}

void ReportNoAccess(int address, int error) {
  char program[PATH_MAX] = "";
  const ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
  if (length > 0) program[length] = '\0';
  const Standing standing = {
      geteuid() == 0, held_rawio,
      kPackagedProgram[0] != '\0' && std::strcmp(program, kPackagedProgram) == 0,
      ReadLockdown(kLockdownFile), program};
  char text[2 * PATH_MAX + 1024];
  DescribeRefusal(address, error, standing, text, sizeof text);
  WriteDriverLine("%s", text);
}

void GiveUpCapabilities() {
  const int saved_errno = errno;  // the refusal, for the driver's line
  held_rawio = HoldsRawIo();
  DropCapabilities();
  errno = saved_errno;
}

bool FindOpenableBoard(int address, Board* board) {
  KeepLinesBack();
  if (!IsBlockAddress(address)) {
    GiveUpCapabilities();
    ReportNoBlock(address);
    return false;
  }
  const BoardFile* const file = LoadedBoard();
  if (file == nullptr) {
    GiveUpCapabilities();
    return false;
  }
  *board = BoardAt(address, *file);
  return true;
}

}  // namespace zep
