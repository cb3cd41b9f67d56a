// The device for an 8255 board that the kernel's own comedi drivers drive:
// 8255 for a board at an I/O base, which root attaches with comedi_config,
// and 8255_pci for a PCI card, which the kernel attaches at boot. The kernel
// does the port I/O, so this device works where the kernel refuses port I/O
// to every process (locked down, as under UEFI Secure Boot). It needs no
// privilege: the node's group (iocard, by libcomedi0's udev rule) is enough.
// The board file names the node; the board sits at the base it was attached
// at.
#include <comedilib.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/block.h"
#include "driver/board.h"
#include "driver/comedi/control_word.h"
#include "driver/driver_line.h"
#include "driver/loaded_board.h"
#include "driver/port_driver.h"

namespace {

constexpr char kDevice[] = "comedi device: ";  // how its lines begin, after the library's name
constexpr char kNodeGroup[] = "iocard";        // the group libcomedi0's udev rule gives the nodes
constexpr char kPortNames[] = "ABC";           // by the board file's read
constexpr int kNoSubdevice = -1;

const zep::BoardFile* board_file = nullptr;  // as read at load; set by OpenPort
comedi_t* device = nullptr;                  // the open node
int subdevice = kNoSubdevice;                // its 8255
int opened = 0;                              // the program's address while the node is open

bool IsOpen(int address) { return device != nullptr && address == opened; }

// Returns the base that the advice attaches a board at: the board file's,
// where it gives the hardware drivers one, or else the program's address.
unsigned int AttachBase() {
  return static_cast<unsigned int>(board_file->base != zep::kAtAddress ? board_file->base
                                                                       : zep::kProgramAddress);
}

// Returns how many nodes the advice asks comedi to make for boards attached
// by hand: enough for the node the board file names, as /dev/comediN is the
// N+1th.
int LegacyNodesFor(const char* node) {
  constexpr int kDefault = 4;
  constexpr int kMost = 16;  // comedi's own limit
  constexpr char kPrefix[] = "/dev/comedi";
  if (std::strncmp(node, kPrefix, sizeof kPrefix - 1) != 0) return kDefault;
  char* end = nullptr;
  const long number = std::strtol(node + sizeof kPrefix - 1, &end, 10);
  return *end == '\0' && number >= kDefault && number < kMost ? static_cast<int>(number) + 1
                                                              : kDefault;
}

// Finds the first subdevice with an 8255's 24 lines of digital I/O: the one
// of a board attached as "8255", or the first of a PCI card's.
int Find8255(comedi_t* opened_device) {
  for (int found = comedi_find_subdevice_by_type(opened_device, COMEDI_SUBD_DIO, 0); found >= 0;
       found = comedi_find_subdevice_by_type(opened_device, COMEDI_SUBD_DIO,
                                             static_cast<unsigned int>(found) + 1)) {
    if (comedi_get_n_channels(opened_device, static_cast<unsigned int>(found)) ==
        static_cast<int>(zep::kChannels)) {
      return found;
    }
  }
  return kNoSubdevice;
}

// Says who may open the node, and the step that lets the user in: joining
// the node's group, where its mode lets the group in, or else the udev rule
// that gives it one.
void AdvisePermission(const char* node, char* advice, std::size_t size) {
  struct stat status {};
  if (stat(node, &status) != 0) {
    advice[0] = '\0';
    return;
  }
  const group* const owner = getgrgid(status.st_gid);
  if (status.st_gid == 0 || (status.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) {
    std::snprintf(advice, size,
                  "; its mode (%04o, group %s) lets root alone open it: libcomedi0's udev rule "
                  "gives the comedi nodes to the group %s: sudo udevadm trigger "
                  "--subsystem-match=comedi, then sudo adduser $USER %s and log in again",
                  static_cast<unsigned int>(status.st_mode & 07777),
                  owner != nullptr ? owner->gr_name : "root", kNodeGroup, kNodeGroup);
  } else if (group_member(status.st_gid) != 0) {
    std::snprintf(advice, size,
                  ", although the program runs in its group: a security module refused it (see "
                  "the kernel's log)");
  } else if (owner != nullptr) {
    std::snprintf(advice, size,
                  "; it opens for its group %s: sudo adduser $USER %s, then log in again",
                  owner->gr_name, owner->gr_name);
  } else {
    std::snprintf(advice, size, "; it opens for its group, gid %u: join it, then log in again",
                  static_cast<unsigned int>(status.st_gid));
  }
}

// Writes the line of an open that failed with `error`: what is wrong with
// the node, and the step that helps.
void ReportNoDevice(int error) {
  const char* const node = board_file->comedi;
  if (error == ENOENT) {
    zep::WriteDriverLine(
        "%sno %s: for a PCI card, its comedi driver makes the node at boot (sudo modprobe "
        "8255_pci; ls /dev/comedi*); for a board at an I/O base, attach it: sudo modprobe comedi "
        "comedi_num_legacy_minors=%d && sudo modprobe 8255 && sudo comedi_config %s 8255 0x%x (at "
        "every boot: bcdmon(1), COMEDI DEVICE)",
        kDevice, node, LegacyNodesFor(node), node, AttachBase());
  } else if (error == ENODEV) {
    zep::WriteDriverLine(
        "%s%s is attached to no board: attach the board at its I/O base: sudo comedi_config %s "
        "8255 0x%x (at every boot: bcdmon(1), COMEDI DEVICE)",
        kDevice, node, node, AttachBase());
  } else if (error == EACCES) {
    char advice[2 * PATH_MAX];
    AdvisePermission(node, advice, sizeof advice);
    zep::WriteDriverLine("%scannot open %s: %s%s", kDevice, node, std::strerror(error), advice);
  } else {
    zep::WriteDriverLine("%scannot open %s: %s", kDevice, node, std::strerror(error));
  }
}

// Writes the line of a node with no 8255. A board attached as "8255" has
// none where another driver held its ports at the attach: the kernel logs
// the conflict, yet comedi_config succeeds and leaves the node attached with
// nothing to read.
void ReportNo8255(comedi_t* opened_device) {
  const char* const driver = comedi_get_driver_name(opened_device);
  const char* const board = comedi_get_board_name(opened_device);
  const char* const node = board_file->comedi;
  if (driver != nullptr && std::strcmp(driver, "8255") == 0) {
    zep::WriteDriverLine(
        "%s%s is attached as an 8255 without its ports, which another driver held at the attach "
        "(the kernel's log says \"I/O port conflict\", /proc/ioports names the holder: parport0 "
        "is a printer port's): free them (a printer port's: sudo modprobe -r lp ppdev "
        "parport_pc), then attach again: sudo comedi_config -r %s && sudo comedi_config %s 8255 "
        "0x%x (bcdmon(1), COMEDI DEVICE)",
        kDevice, node, node, node, AttachBase());
  } else {
    zep::WriteDriverLine(
        "%s%s is attached to %s (driver %s), which has no 8255 (digital I/O of 24 lines): name "
        "the 8255 board's node in %s, as comedi = /dev/comediN",
        kDevice, node, board != nullptr ? board : "a board", driver != nullptr ? driver : "unknown",
        board_file->name);
  }
}

void ReportUnwritable(int word) {
  zep::WriteDriverLine(
      "%s0x%02x %s, which comedi's 8255 driver does not do (it writes mode 0 alone, 0x80 to "
      "0x9b): the 8255 is left as it was",
      kDevice, static_cast<unsigned int>(word),
      (word & zep::kModeSet) == 0 ? "sets or resets one line of port C"
                                  : "puts a group of the 8255 in mode 1 or 2");
}

// Reads the directions the kernel last set; false if it would not say.
bool ReadDirections(zep::Directions* directions) {
  for (int group = 0; group < zep::kGroupCount; ++group) {
    unsigned int direction = COMEDI_INPUT;
    if (comedi_dio_get_config(device, static_cast<unsigned int>(subdevice),
                              zep::kGroupChannel[group], &direction) < 0) {
      return false;
    }
    directions->input[group] = direction == COMEDI_INPUT;
  }
  return true;
}

// Sets one group's direction. The kernel writes the whole control word for
// it in one call.
bool SetDirection(int group, bool input) {
  return comedi_dio_config(device, static_cast<unsigned int>(subdevice), zep::kGroupChannel[group],
                           input ? COMEDI_INPUT : COMEDI_OUTPUT) >= 0;
}

}  // namespace

// Refuses a board file that names the control register as the port to
// read, which comedi cannot read, and says which port of which node it
// reads.
bool zep::AcceptBoard(const BoardFile& file) {
  if (file.read == kControlOffset) {
    ReportBadBoardFile(file.name, 0, nullptr,
                       "read = 3 names the 8255's control register, which comedi cannot read: 0 "
                       "for port A, 1 for B, 2 for C");
    return false;
  }
  const bool unused_keys = file.base != kAtAddress || file.config_given;
  WriteDriverLine("%sreads port %c of the 8255 on %s (%s%s%s)%s", kDevice, kPortNames[file.read],
                  file.comedi, file.present ? "board file " : "no board file ", file.name,
                  file.present ? "" : ": the defaults",
                  unused_keys ? "; the file's base and config are the hardware driver's: this "
                                "one reads the board at the base it was attached at"
                              : "");
  return true;
}

extern "C" {

int ZEP_CALL OpenPort(int address) {
  if (device != nullptr) ClosePort();
  board_file = zep::LoadedBoard();
  if (board_file == nullptr) return 0;
  device = comedi_open(board_file->comedi);
  if (device == nullptr) {
    ReportNoDevice(comedi_errno());
    return 0;
  }
  subdevice = Find8255(device);
  if (subdevice == kNoSubdevice) {
    ReportNo8255(device);
    ClosePort();
    return 0;
  }
  opened = address;
  return 1;
}

// Sets only the groups whose direction changes, as each setting writes the
// word. It writes the word at least once, as the chip may have been reset
// since the kernel last wrote it.
int ZEP_CALL ConfigPort(int address, int value) {
  if (!IsOpen(address)) return 0;
  const int word = value & 0xFF;
  if (!zep::IsModeZeroWord(word)) {
    ReportUnwritable(word);
    return 0;
  }
  const zep::Directions wanted = zep::DirectionsOf(word);
  zep::Directions now{};
  const bool known = ReadDirections(&now);
  if (known && zep::WordOf(now) == word)
    return SetDirection(zep::kPortA, wanted.input[zep::kPortA]) ? 1 : 0;
  for (int group = 0; group < zep::kGroupCount; ++group) {
    if (known && now.input[group] == wanted.input[group]) continue;
    if (!SetDirection(group, wanted.input[group])) return 0;
  }
  return 1;
}

// Reads the three ports in one call and returns the one the board file
// names.
int ZEP_CALL ReadPort(int address) {
  unsigned int lines = 0;
  if (!IsOpen(address) ||
      comedi_dio_bitfield2(device, static_cast<unsigned int>(subdevice), 0, &lines, 0) < 0) {
    return zep::kFloatingBus;
  }
  return static_cast<int>(lines >> (8 * board_file->read) & 0xFF);
}

int ZEP_CALL ClosePort(void) {
  if (device == nullptr) return 0;
  const int result = comedi_close(device);
  device = nullptr;
  subdevice = kNoSubdevice;
  return result == 0 ? 1 : 0;
}
}
