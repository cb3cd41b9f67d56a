// Where the board is: the hardware drivers' block of four ports, and the
// ports of it that ReadPort reads and ConfigPort writes, from the board file
// of the installation the driver belongs to. The program always asks for
// 888; a card on a PCI or PCIe slot has its block wherever the firmware put
// it, and the board file says where.
#ifndef BCDMON_DRIVER_BOARD_H_
#define BCDMON_DRIVER_BOARD_H_

namespace zep {

// Ports, not offsets: the file's offsets are added to the base once, here.
struct Board {
  int base;    // the block's first port, for which the program's address stands
  int read;    // the port ReadPort reads
  int config;  // the port ConfigPort writes
};

// The board the program's `address` stands for: the board file's, any key it
// leaves out (or the whole file, where there is none) at its default: the
// block at `address`, read at its first port, configured at its last. False,
// after the driver's one line on standard error naming the file and what is
// wrong with it, when the file is bad: then no port may be touched.
bool FindBoard(int address, Board* board);

}  // namespace zep

#endif  // BCDMON_DRIVER_BOARD_H_
