// The board file says where the board is. For the hardware drivers, it
// gives the block of ports that the program's address stands for, and the
// ports of it that ReadPort reads and ConfigPort writes; for the comedi
// device, the node, its subdevice and the byte of its lines to read. The program always asks
// for 888, but a card on a PCI or PCIe slot has its block wherever the
// firmware put it.
#ifndef BCDMON_DRIVER_BOARD_H_
#define BCDMON_DRIVER_BOARD_H_

#include <climits>
#include <cstdio>

namespace zep {

// Ports, not offsets: BoardAt adds the file's offsets to the base once.
struct Board {
  int base;    // the block's first port, for which the program's address stands
  int read;    // the port ReadPort reads
  int config;  // the port ConfigPort writes
};

constexpr int kAtAddress = -1;     // a base the file leaves to the program's address
constexpr int kAnySubdevice = -1;  // a subdevice the file leaves to the comedi device

// What a board file says. Each key the file leaves out keeps its default,
// and so does every key where there is no file: the block at the program's
// address, read at its first port, configured at its control register.
struct BoardFile {
  char name[PATH_MAX];  // the file read
  bool present;         // false: there is none, and the defaults hold
  int base;             // or kAtAddress
  int read;             // offsets in the block
  int config;
  bool config_given;      // the file sets config
  char comedi[PATH_MAX];  // the comedi device's node, or "" where it is to find one
  int subdevice;          // the comedi device's subdevice, or kAnySubdevice
};

// Sets every key of `file` to its default.
void SetBoardDefaults(BoardFile* file);

// Parses the text of the board file `file->name` from `stream`, which is
// at its start and can seek back to it, line by line, into the keys of
// `file`. Returns false when the text is bad, after the driver's one line
// that names the file, the line and what is wrong. The caller checks the
// stream for a read error.
bool ParseBoard(std::FILE* stream, BoardFile* file);

// Writes the one line of a bad board file: the file, the line where there
// is one (`line` > 0), the text at fault in quotes where there is such
// (`quoted` not null), and the problem, formatted as printf does.
void ReportBadBoardFile(const char* file, int line, const char* quoted, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// The board that the program's `address` stands for, by what the file says.
Board BoardAt(int address, const BoardFile& file);

}  // namespace zep

#endif  // BCDMON_DRIVER_BOARD_H_
