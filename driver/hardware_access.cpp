#include "driver/hardware_access.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "driver/refusal.h"

namespace zep {

namespace {

// The packaged program, whose users the group's grant can help: known only
// to a build that makes the Debian package ("" otherwise).
constexpr char kPackagedProgram[] = BCDMON_PACKAGED_PROGRAM;

BoardFile board_file{};   // as it was at load; OpenPort never reads it again
bool board_good = false;  // it was read and is not bad
bool held_rawio = false;  // CAP_SYS_RAWIO was effective when the capabilities went

// The system call itself, not libcap, as for capset below.
bool HoldsRawIo() {
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, sets) != 0) return false;
  return (sets[CAP_TO_INDEX(CAP_SYS_RAWIO)].effective & CAP_TO_MASK(CAP_SYS_RAWIO)) != 0;
}

// Said once, before the program's first message, so that it never splits
// one of its lines on a terminal, and a wrong board file shows before a
// port is touched.
void AnnounceBoard() {
  const Board board = BoardAt(kProgramAddress, board_file);
  char line[PATH_MAX + 256];
  const int length = std::snprintf(
      line, sizeof line,
      "%s: hardware driver: reads I/O port 0x%x and configures 0x%x, of the block 0x%x to 0x%x "
      "(%s%s%s)\n",
      kDriverName, static_cast<unsigned int>(board.read), static_cast<unsigned int>(board.config),
      static_cast<unsigned int>(board.base), static_cast<unsigned int>(board.base + kBlockSize - 1),
      board_file.present ? "board file " : "no board file ", board_file.name,
      board_file.present ? "" : ": the defaults");
  if (length >= static_cast<int>(sizeof line)) line[sizeof line - 2] = '\n';
  WriteDriverLine(line);
}

__attribute__((constructor)) void ReadBoardAtLoad() {
  board_good = ReadBoardFile(&board_file);
  if (board_good) AnnounceBoard();
}

}  // namespace

void ReportNoAccess(int address, int error) {
  char program[PATH_MAX] = "";
  const ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
  if (length > 0) program[length] = '\0';
  const Standing standing = {
      geteuid() == 0, held_rawio,
      kPackagedProgram[0] != '\0' && std::strcmp(program, kPackagedProgram) == 0,
      ReadLockdown(kLockdownFile), program};
  char line[2 * PATH_MAX + 1024];
  DescribeRefusal(address, error, standing, line, sizeof line);
  WriteDriverLine(line);
}

void GiveUpCapabilities() {
  const int saved_errno = errno;  // the refusal, for the driver's line
  held_rawio = HoldsRawIo();
  // The ambient set follows the permitted one down to nothing anyway; it is
  // cleared on its own so that it is empty even where the capset below were
  // refused. Kernels without ambient capabilities answer EINVAL, harmlessly.
  prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0L, 0L, 0L);
  // The system call itself, not libcap: all three sets empty, for the calling
  // thread (pid 0), the program's only one. Lowering needs no privilege.
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
  syscall(SYS_capset, &header, none);
  errno = saved_errno;
}

bool FindOpenableBoard(int address, Board* board) {
  if (!IsBlockAddress(address)) {
    GiveUpCapabilities();
    ReportNoBlock(address);
    return false;
  }
  if (!board_good) {
    GiveUpCapabilities();
    return false;
  }
  *board = BoardAt(address, board_file);
  return true;
}

void ReportNoBlock(int address) {
  char line[256];
  std::snprintf(line, sizeof line,
                "%s: no block of %d I/O ports at %d: the address must be 0 to 0x%x\n", kDriverName,
                kBlockSize, address, static_cast<unsigned int>(kHighestBlock));
  WriteDriverLine(line);
}

}  // namespace zep
