// The subdevice the comedi device reads, its lines, and what the program's
// configuration does to them. The kernel says whether a line is an input or
// an output, but not whether it moves alone or with its group, as an
// 8255's lines do: that shows only when a line is moved, so the device
// moves line 0 as the program's word moves an 8255's port A.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "driver/block.h"
#include "driver/comedi/control_word.h"
#include "driver/comedi/device.h"
#include "driver/driver_line.h"

namespace zep {

namespace {

bool IsReadable(int type) { return type == COMEDI_SUBD_DI || type == COMEDI_SUBD_DIO; }

// What a subdevice of the type is, for the lines that name one.
const char* TypeName(int type) {
  static constexpr const char* kNames[] = {"unused",
                                           "analog input",
                                           "analog output",
                                           "digital input",
                                           "digital output",
                                           "digital I/O",
                                           "a counter",
                                           "a timer",
                                           "memory",
                                           "calibration",
                                           "a processor",
                                           "serial I/O",
                                           "pulse-width modulation"};
  return type >= 0 && type < static_cast<int>(sizeof kNames / sizeof kNames[0]) ? kNames[type]
                                                                                : "unknown";
}

const char* BoardOf(comedi_t* device) {
  const char* const board = comedi_get_board_name(device);
  return board != nullptr ? board : "a board";
}

bool Query(const Source& source, unsigned int line, unsigned int* direction) {
  return comedi_dio_get_config(source.device, source.subdevice, line, direction) >= 0;
}

bool Set(const Source& source, unsigned int line, unsigned int direction) {
  return comedi_dio_config(source.device, source.subdevice, line, direction) >= 0;
}

unsigned int DirectionOf(bool input) { return input ? COMEDI_INPUT : COMEDI_OUTPUT; }

// Sets a line's direction as configuring asks, and says where the kernel
// refused.
bool Configure(const Source& source, unsigned int line, bool input) {
  if (Set(source, line, DirectionOf(input))) return true;
  ReportFailure(source, "configuring", "the lines keep the directions they had");
  return false;
}

// A board attached as "8255" has only unused subdevices where another
// driver held its ports at the attach: the kernel logs the conflict, yet
// comedi_config succeeds and leaves the node attached with nothing to read.
bool ReportPortsHeld(comedi_t* device, const char* node, const BoardFile& file) {
  const char* const driver = comedi_get_driver_name(device);
  if (driver == nullptr || std::strcmp(driver, "8255") != 0) return false;
  WriteDriverLine(
      "%s%s is attached as an 8255 without its ports, which another driver held at the attach "
      "(the kernel's log says \"I/O port conflict\", /proc/ioports names the holder: parport0 is "
      "a printer port's): free them (a printer port's: sudo modprobe -r lp ppdev parport_pc), "
      "then attach again: sudo comedi_config -r %s && sudo comedi_config %s 8255 0x%x "
      "(bcdmon(1), COMEDI DEVICE)",
      kDevice, node, node, node, AttachBase(file));
  return true;
}

// The subdevices the device could read instead, as "subdevice 0 and 1".
void ListReadable(comedi_t* device, char* text, std::size_t size) {
  const int subdevices = comedi_get_n_subdevices(device);
  const auto readable = [&](int subdevice) {
    return IsReadable(comedi_get_subdevice_type(device, static_cast<unsigned int>(subdevice)));
  };
  int count = 0;
  for (int subdevice = 0; subdevice < subdevices; ++subdevice) count += readable(subdevice) ? 1 : 0;
  std::snprintf(text, size, count == 0 ? "it has none to read" : "subdevice ");
  for (int subdevice = 0, listed = 0; subdevice < subdevices; ++subdevice) {
    if (!readable(subdevice)) continue;
    char number[16];
    std::snprintf(number, sizeof number, "%d", subdevice);
    AppendListed(text, size, listed++, count, number);
  }
  if (count > 0) {
    const std::size_t used = std::strlen(text);
    std::snprintf(text + used, size - used, " can be read");
  }
}

// Finds whether the subdevice, of 24 lines, sets directions by the groups
// of an 8255. Line 0 moves, and line 1 shows whether it moved too. Line 0
// becomes an output only where the program's word makes it one on an 8255
// (port A), and no line of port C ever does. On an 8255, configuring then
// writes the word, which puts port A where it belongs; where the lines move
// one by one, line 0 goes back now, unless it is read and now the input
// that configuring makes it.
Lines FindHowLinesMove(Source* source, int read) {
  unsigned int first = COMEDI_INPUT;
  unsigned int second = COMEDI_INPUT;
  if (!Query(*source, 0, &first) || !Query(*source, 1, &second) || first != second)
    return Lines::kOneByOne;
  const unsigned int moved = first == COMEDI_OUTPUT ? COMEDI_INPUT : COMEDI_OUTPUT;
  unsigned int after = second;
  if (Set(*source, 0, moved) && Query(*source, 1, &after) && after == moved) {
    source->word_written = true;
    return Lines::kGroups8255;
  }
  if (moved == COMEDI_OUTPUT || read != 0) Set(*source, 0, first);
  return Lines::kOneByOne;
}

// Reads the directions the kernel last set; false if it would not say.
bool ReadDirections(const Source& source, Directions* directions) {
  for (int group = 0; group < kGroupCount; ++group) {
    unsigned int direction = COMEDI_INPUT;
    if (!Query(source, kGroupChannel[group], &direction)) return false;
    directions->input[group] = direction == COMEDI_INPUT;
  }
  return true;
}

void ReportUnwritable(int word) {
  WriteDriverLine(
      "%s0x%02x %s, which comedi's 8255 driver does not do (it writes mode 0 alone, 0x80 to "
      "0x9b): the 8255 is left as it was",
      kDevice, static_cast<unsigned int>(word),
      (word & kModeSet) == 0 ? "sets or resets one line of port C"
                             : "puts a group of the 8255 in mode 1 or 2");
}

// Has the kernel write the word by setting only the groups whose direction
// changes, as each setting writes the word. It writes the word at least
// once, as the chip may have been reset since the kernel last wrote it,
// unless finding the kind wrote it a moment ago.
bool WriteWord(Source* source, int value) {
  const int word = value & 0xFF;
  if (!IsModeZeroWord(word)) {
    ReportUnwritable(word);
    return false;
  }
  const bool written = source->word_written;
  source->word_written = false;
  const Directions wanted = DirectionsOf(word);
  Directions now{};
  const bool known = ReadDirections(*source, &now);
  if (known && WordOf(now) == word)
    return written || Configure(*source, kGroupChannel[kPortA], wanted.input[kPortA]);
  for (int group = 0; group < kGroupCount; ++group) {
    if (known && now.input[group] == wanted.input[group]) continue;
    if (!Configure(*source, kGroupChannel[group], wanted.input[group])) return false;
  }
  return true;
}

// Makes the lines read inputs. The first is always set, as that sends the
// board the directions the kernel holds; the others only where the kernel
// says they are not inputs.
bool MakeInputs(const Source& source, int read) {
  const int first = kLinesPerByte * read;
  const int end = std::min(first + kLinesPerByte, source.lines);
  for (int line = first; line < end; ++line) {
    unsigned int direction = COMEDI_OUTPUT;
    const auto channel = static_cast<unsigned int>(line);
    if (line != first && Query(source, channel, &direction) && direction == COMEDI_INPUT) continue;
    if (!Configure(source, channel, true)) return false;
  }
  return true;
}

}  // namespace

int ReadableSubdevice(comedi_t* device, int wanted) {
  const int subdevices = comedi_get_n_subdevices(device);
  for (int subdevice = 0; subdevice < subdevices; ++subdevice) {
    if (wanted != kAnySubdevice && subdevice != wanted) continue;
    const auto number = static_cast<unsigned int>(subdevice);
    if (IsReadable(comedi_get_subdevice_type(device, number)) &&
        comedi_get_n_channels(device, number) > 0) {
      return subdevice;
    }
  }
  return -1;
}

void ReportUnreadable(comedi_t* device, const char* node, const BoardFile& file) {
  const int subdevices = comedi_get_n_subdevices(device);
  char readable[256];
  ListReadable(device, readable, sizeof readable);
  if (file.subdevice == kAnySubdevice) {
    if (ReportPortsHeld(device, node, file)) return;
    const char* const driver = comedi_get_driver_name(device);
    WriteDriverLine(
        "%s%s is attached to %s (driver %s), which has no digital input or digital I/O: name the "
        "node of the board to read in %s, as comedi = /dev/comediN",
        kDevice, node, BoardOf(device), driver != nullptr ? driver : "unknown", file.name);
  } else if (file.subdevice >= subdevices) {
    WriteDriverLine("%s%s (%s) has no subdevice %d, which %s names: it has %d; %s", kDevice, node,
                    BoardOf(device), file.subdevice, file.name, std::max(subdevices, 0), readable);
  } else {
    WriteDriverLine(
        "%ssubdevice %d of %s (%s), which %s names, is %s, which cannot be read: %s", kDevice,
        file.subdevice, node, BoardOf(device), file.name,
        TypeName(comedi_get_subdevice_type(device, static_cast<unsigned int>(file.subdevice))),
        readable);
  }
}

bool ExamineSubdevice(const BoardFile& file, Source* source) {
  source->type = comedi_get_subdevice_type(source->device, source->subdevice);
  source->lines = comedi_get_n_channels(source->device, source->subdevice);
  source->word_written = false;
  const int first = kLinesPerByte * file.read;
  if (source->lines == static_cast<int>(kChannels) && file.read == kControlOffset) {
    ReportBadBoardFile(file.name, 0, nullptr,
                       "read = 3 names the 8255's control register, which comedi cannot read: 0 "
                       "for port A, 1 for B, 2 for C");
    return false;
  }
  if (first >= source->lines) {
    const int last_read = (source->lines - 1) / kLinesPerByte;
    char reads[32] = "read = 0";
    if (last_read > 0) std::snprintf(reads, sizeof reads, "read = 0 to %d", last_read);
    WriteDriverLine(
        "%sread = %d in %s names lines %d to %d, past the last of subdevice %u of %s, which has "
        "%d: %s reads them",
        kDevice, file.read, file.name, first, first + kLinesPerByte - 1, source->subdevice,
        source->node, source->lines, reads);
    return false;
  }
  if (source->type == COMEDI_SUBD_DI) {
    source->kind = Lines::kInputs;
  } else if (source->lines == static_cast<int>(kChannels)) {
    source->kind = FindHowLinesMove(source, file.read);
  } else {
    source->kind = Lines::kOneByOne;
  }
  return true;
}

bool ConfigureLines(Source* source, int read, int value) {
  switch (source->kind) {
    case Lines::kGroups8255:
      return WriteWord(source, value);
    case Lines::kOneByOne:
      return MakeInputs(*source, read);
    case Lines::kInputs:
      break;
  }
  return true;
}

}  // namespace zep
