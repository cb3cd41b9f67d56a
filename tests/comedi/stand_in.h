// The boards that the stand-in comedilib holds, and what the comedi device
// did to them.
#ifndef BCDMON_TESTS_COMEDI_STAND_IN_H_
#define BCDMON_TESTS_COMEDI_STAND_IN_H_

#include <comedilib.h>

namespace stand_in {

struct Subdevice {
  int type;  // COMEDI_SUBD_*
  int lines;
  bool groups8255;                // the lines move by an 8255's groups; each move writes the word
  unsigned int outputs;           // a bit per line that is an output
  unsigned int values;            // what the lines read
  bool gone = false;              // every call fails with ENODEV, as after a detach
  unsigned int ever_outputs = 0;  // every line made an output, even for a moment
  char words[64] = "";            // each word the kernel wrote, as " 0x8b 0x89"
};

struct Node {
  int open_error;  // 0: it opens
  const char* board;
  Subdevice subdevices[3];
  int count;
};

constexpr int kNodes = 48;  // /dev/comedi0 to /dev/comedi47
extern Node nodes[kNodes];

}  // namespace stand_in

#endif  // BCDMON_TESTS_COMEDI_STAND_IN_H_
