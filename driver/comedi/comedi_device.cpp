// The device for a board that the kernel's own comedi drivers drive: an
// 8255 board at an I/O base, which root attaches with comedi_config; a PCI
// card, or a USB module, which the kernel attaches by itself; the PC's own
// printer port, through comedi_parport. The kernel does the port I/O, so
// this device works where the kernel refuses port I/O to every process
// (locked down, as under UEFI Secure Boot). It needs no privilege: the
// node's group (iocard, by libcomedi0's udev rule) is enough.
//
// It takes the program's address to stand for the board, and the program's
// configuration, 137, for the 8255 word it is: ports A and B outputs, port
// C an input. On a subdevice that is no 8255, that word means nothing, and
// the device makes the lines it reads inputs.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "driver/block.h"
#include "driver/board.h"
#include "driver/comedi/device.h"
#include "driver/driver_line.h"
#include "driver/loaded_board.h"
#include "driver/port_driver.h"

namespace {

constexpr char kPortNames[] = "ABC";  // an 8255's, by the board file's read
constexpr int kPortC = 2;             // the read of an 8255's inputs under 137

zep::Source source{};  // examined at load; its node open until ClosePort
const zep::BoardFile* board_file = nullptr;
int opened = 0;            // the program's address while the node is open
bool read_failed = false;  // said once a run

bool IsOpen(int address) { return source.device != nullptr && address == opened; }

// What the subdevice offers, as "24 lines of digital I/O" or "5 digital
// inputs".
void DescribeLines(char* text, std::size_t size) {
  const bool plural = source.lines != 1;
  if (source.type == COMEDI_SUBD_DI) {
    std::snprintf(text, size, "%d digital input%s", source.lines, plural ? "s" : "");
  } else {
    std::snprintf(text, size, "%d line%s of digital I/O", source.lines, plural ? "s" : "");
  }
}

// The lines that make the byte, as "lines 16 to 23 (port C)", and where
// fewer than 8, the bits that read 0.
void DescribeByte(int read, char* text, std::size_t size, char* missing, std::size_t missing_size) {
  const int first = zep::kLinesPerByte * read;
  const int last = std::min(first + zep::kLinesPerByte, source.lines) - 1;
  if (first == last) {
    std::snprintf(text, size, "line %d", first);
  } else if (source.kind == zep::Lines::kGroups8255) {
    std::snprintf(text, size, "lines %d to %d (port %c)", first, last, kPortNames[read]);
  } else {
    std::snprintf(text, size, "lines %d to %d", first, last);
  }
  const int bits = last - first + 1;
  missing[0] = '\0';
  if (bits == zep::kLinesPerByte - 1) {
    std::snprintf(missing, missing_size, "; bit 7 reads 0");
  } else if (bits < zep::kLinesPerByte) {
    std::snprintf(missing, missing_size, "; bits %d to 7 read 0", bits);
  }
}

// What configuring does, where the user must know it: an 8255's port read
// that the word makes an output, or lines that the word does not move.
const char* DescribeConfiguring(int read) {
  if (source.kind == zep::Lines::kGroups8255 && read != kPortC) {
    return "; 137 makes ports A and B outputs, which a run drives, low after configuring: wire "
           "nothing that drives to them, and read the inputs, port C, with read = 2";
  }
  if (source.kind == zep::Lines::kOneByOne) {
    return "; 137 means nothing to this subdevice: configuring makes the lines read inputs and "
           "leaves the others alone";
  }
  return "";
}

// Says which lines of which subdevice of which node make the byte.
void Announce(const zep::BoardFile& file) {
  char lines[64];
  DescribeLines(lines, sizeof lines);
  char byte[64];
  char missing[32];
  DescribeByte(file.read, byte, sizeof byte, missing, sizeof missing);
  const char* const board = comedi_get_board_name(source.device);
  const bool unused_keys = file.base != zep::kAtAddress || file.config_given;
  zep::WriteDriverLine(
      "%sreads %s of subdevice %u (%s) on %s, board %s%s (%s%s%s)%s%s%s", zep::kDevice, byte,
      source.subdevice, lines, source.node, board != nullptr ? board : "unknown",
      source.found ? ", the one board found" : "", file.present ? "board file " : "no board file ",
      file.name, file.present ? "" : ": the defaults", missing, DescribeConfiguring(file.read),
      unused_keys ? "; the file's base and config are the hardware drivers': this device reads "
                    "the board where the kernel attached it"
                  : "");
}

void CloseSource() {
  if (source.device != nullptr) comedi_close(source.device);
  source.device = nullptr;
}

}  // namespace

void zep::ReportFailure(const Source& failed, const char* doing, const char* outcome) {
  const int error = comedi_errno();
  WriteDriverLineAmidReadings(
      "%s%s subdevice %u of %s failed: %s%s; %s", kDevice, doing, failed.subdevice, failed.node,
      std::strerror(error),
      error == ENODEV ? ", as the board was detached or removed: attach it or plug it in again, "
                        "then start the program again"
                      : "",
      outcome);
}

// Opens the node and examines the subdevice at load, so that the line
// names what the device will read, or what is wrong, before the program's
// first message. The node stays open for OpenPort.
bool zep::AcceptBoard(const BoardFile& file) {
  CloseSource();
  if (!OpenNode(file, &source)) return false;
  if (!ExamineSubdevice(file, &source)) {
    CloseSource();
    return false;
  }
  Announce(file);
  return true;
}

extern "C" {

int ZEP_CALL OpenPort(int address) {
  zep::KeepLinesBack();
  if (source.device != nullptr && opened != 0) ClosePort();
  board_file = zep::LoadedBoard();
  if (board_file == nullptr) return 0;
  if (source.device == nullptr) {
    source.device = comedi_open(source.node);
    if (source.device == nullptr) {
      zep::ReportNoDevice(source.node, comedi_errno(), *board_file);
      return 0;
    }
  }
  opened = address;
  read_failed = false;
  return 1;
}

int ZEP_CALL ConfigPort(int address, int value) {
  zep::KeepLinesBack();
  if (!IsOpen(address)) return 0;
  return zep::ConfigureLines(&source, board_file->read, value) ? 1 : 0;
}

// Reads the subdevice's first 32 lines in one call, and returns the byte
// the board file names. A failed read is said once: the board is gone, or
// will not answer, and the program goes on reading until a key.
int ZEP_CALL ReadPort(int address) {
  zep::LetKeptLinesOut();
  unsigned int lines = 0;
  if (!IsOpen(address)) return zep::kFloatingBus;
  if (comedi_dio_bitfield2(source.device, source.subdevice, 0, &lines, 0) < 0) {
    if (!read_failed) zep::ReportFailure(source, "reading", "the readings show FF from here");
    read_failed = true;
    return zep::kFloatingBus;
  }
  const int first = zep::kLinesPerByte * board_file->read;
  const int count = std::min(source.lines - first, zep::kLinesPerByte);
  return static_cast<int>(lines >> first & ((1U << count) - 1));
}

int ZEP_CALL ClosePort(void) {
  if (source.device == nullptr) return 0;
  const int result = comedi_close(source.device);
  source.device = nullptr;
  opened = 0;
  return result == 0 ? 1 : 0;
}
}
