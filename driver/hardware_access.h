// What the hardware drivers share, whatever the way to the ports: the board
// file, read once at load, where the driver says which ports it will touch;
// the block they may ask for, the one line they write when they cannot have
// it, and giving up the privilege that got them.
#ifndef BCDMON_DRIVER_HARDWARE_ACCESS_H_
#define BCDMON_DRIVER_HARDWARE_ACCESS_H_

#include "driver/board.h"

namespace zep {

constexpr char kDriverName[] = "libzepdriver";  // how the driver's lines begin
constexpr int kProgramAddress = 888;            // the address bcdmon opens

// The block at an address: the data port and the three after it, the last
// being the control register that ConfigPort writes unless the board file
// names another.
constexpr int kBlockSize = 4;
constexpr int kControlOffset = 3;
constexpr int kHighestBlock = 0xFFFF - (kBlockSize - 1);  // the I/O space ends at 0xFFFF
constexpr char kPortFile[] = "/dev/port";                 // byte n is I/O port n
constexpr int kFloatingBus = 0xFF;  // what a read of a port not open gives, as on a PC

constexpr bool IsBlockAddress(int address) { return address >= 0 && address <= kHighestBlock; }

// The board the program's `address` stands for (board.h), by the board file
// as it was at load, where it may be opened: false, with the capabilities
// given up, for an address outside the I/O space (after the driver's line)
// or a bad board file (whose line the driver wrote at load).
bool FindOpenableBoard(int address, Board* board);

// The driver's one line on standard error when OpenPort fails: which block,
// why (the system's word for `error`, and the cause where the program stood
// as GiveUpCapabilities found it: refusal.h) and what helps.
void ReportNoAccess(int address, int error);
// The same for an address that names no block of the I/O space.
void ReportNoBlock(int address);

// Gives up every capability of the process, whether it ran as root or through
// the program file's CAP_SYS_RAWIO, noting first whether it held that one
// (for ReportNoAccess); none comes back, as the program executes nothing
// (root's would, in a new program). OpenPort calls it as soon as it has the
// ports, or has been refused them: nothing after needs any, as the kernel
// checks the privilege only when it grants (ioperm with turn_on set, the
// open of /dev/port), not for the port instructions, the reads and writes of
// an open /dev/port, or giving the ports back. A second OpenPort in the same
// process is therefore refused, as the process is then without the
// privilege. errno is left as it was.
void GiveUpCapabilities();

}  // namespace zep

#endif  // BCDMON_DRIVER_HARDWARE_ACCESS_H_
