// What the comedi device reads, and the steps that find and examine it at
// load: the node (node.cpp), then the subdevice and its lines
// (subdevice.cpp). Each step that cannot go on writes the device's one line
// and returns false, so that OpenPort fails without another.
#ifndef BCDMON_DRIVER_COMEDI_DEVICE_H_
#define BCDMON_DRIVER_COMEDI_DEVICE_H_

#include <comedilib.h>

#include <climits>
#include <cstddef>

#include "driver/board.h"

namespace zep {

constexpr char kDevice[] = "comedi device: ";  // how its lines begin, after the library's name
constexpr int kNodes = 48;                     // /dev/comedi0 to /dev/comedi47, as comedi has
constexpr int kLinesPerByte = 8;               // the board file's read picks lines 8 * read on

// How the subdevice's lines take a direction, and so what the program's
// configuration does to them.
enum class Lines {
  kGroups8255,  // by the groups of an 8255: the word is written, as to the chip
  kOneByOne,    // any other digital I/O: the lines read are made inputs
  kInputs,      // digital inputs: nothing to set
};

// The subdevice read, on its open node.
struct Source {
  comedi_t* device;
  char node[PATH_MAX];
  bool found;  // by looking at every node, as the board file names none
  unsigned int subdevice;
  int type;   // COMEDI_SUBD_DI or COMEDI_SUBD_DIO
  int lines;  // how many the subdevice has
  Lines kind;
  bool word_written;  // the 8255's word was written while its kind was found
};

// Opens the node the board file names, or else the one node attached to a
// board that has a subdevice to read. False, after the line, when there is
// none to use.
bool OpenNode(const BoardFile& file, Source* source);

// The base that the advice attaches a board at: the board file's, where it
// gives the hardware drivers one, or else the program's address.
unsigned int AttachBase(const BoardFile& file);

// Appends the `index`th of `count` items to a list in `text`: "a", "a and
// b", "a, b and c".
void AppendListed(char* text, std::size_t size, int index, int count, const char* item);

// Writes the line of an open of `node` that failed with `error`.
void ReportNoDevice(const char* node, int error, const BoardFile& file);

// The subdevice the file names, or else the first of digital input or
// digital I/O; -1 when it has none to read.
int ReadableSubdevice(comedi_t* device, int wanted);

// Writes the line of an open node with nothing the file lets it read.
void ReportUnreadable(comedi_t* device, const char* node, const BoardFile& file);

// Checks that the file's byte is among the subdevice's lines, and finds
// how they take a direction. False, after the line, when the byte is not.
bool ExamineSubdevice(const BoardFile& file, Source* source);

// Sets the lines as the program's configuration `value` asks of the kind:
// an 8255's word, or the lines read made inputs. False, after the line,
// when the kernel refused.
bool ConfigureLines(Source* source, int read, int value);

// Writes the line of a call the kernel refused, with comedi's error: what
// the device was `doing`, and what that leaves (`outcome`). The line stands
// apart from the readings on a terminal.
void ReportFailure(const Source& failed, const char* doing, const char* outcome);

}  // namespace zep

#endif  // BCDMON_DRIVER_COMEDI_DEVICE_H_
