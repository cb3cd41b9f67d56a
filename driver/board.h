// Where the board is: the hardware drivers' block of four ports, and the
// ports of it that ReadPort reads and ConfigPort writes, or the comedi
// device's node, from the board file of the installation the driver belongs
// to. The program always asks for 888; a card on a PCI or PCIe slot has its
// block wherever the firmware put it, and the board file says where.
#ifndef BCDMON_DRIVER_BOARD_H_
#define BCDMON_DRIVER_BOARD_H_

#include <climits>

namespace zep {

// Ports, not offsets: the file's offsets are added to the base once, here.
struct Board {
  int base;    // the block's first port, for which the program's address stands
  int read;    // the port ReadPort reads
  int config;  // the port ConfigPort writes
};

constexpr int kAtAddress = -1;                  // a base the file leaves to the program's address
constexpr char kComediNode[] = "/dev/comedi0";  // the first board comedi has

// What the board file said, any key it leaves out (or the whole file, where
// there is none) at its default: the block at the program's address, read
// at its first port, configured at its last.
struct BoardFile {
  char name[PATH_MAX];  // the file read
  bool present;         // false: there is none, and the defaults hold
  int base;             // or kAtAddress
  int read;             // offsets in the block
  int config;
  bool config_given;      // the file set config
  char comedi[PATH_MAX];  // the comedi device's node
};

// Writes the driver's line to standard error in one write: stdio may not be
// ready while the loader runs the library's constructors, and a line in
// pieces could be split by another's.
void WriteDriverLine(const char* line);

// Reads the board file of the installation the driver belongs to. False,
// after the driver's one line on standard error naming the file and what is
// wrong with it, when the file is bad: then no port may be touched.
bool ReadBoardFile(BoardFile* file);

// The board the program's `address` stands for, by what the file said.
Board BoardAt(int address, const BoardFile& file);

}  // namespace zep

#endif  // BCDMON_DRIVER_BOARD_H_
