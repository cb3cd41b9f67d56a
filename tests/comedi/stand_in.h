// A stand-in for comedilib, linked into the comedi device's test in place
// of the real library: the boards the kernel would have attached, with
// their subdevices' directions and lines, and what the device did to them.
#ifndef BCDMON_TESTS_COMEDI_STAND_IN_H_
#define BCDMON_TESTS_COMEDI_STAND_IN_H_

namespace stand_in {

struct Subdevice {
  int type;  // COMEDI_SUBD_*
  int lines;
  bool groups8255;       // the lines move by an 8255's groups, and each move writes the word
  unsigned int outputs;  // a bit per line that is an output
  unsigned int values;   // what the lines read
  bool gone = false;     // every call fails with ENODEV, as after a detach
  unsigned int ever_outputs = 0;  // every line made an output, even for a moment
  char words[64] = "";            // each word the kernel wrote, as "0x8b 0x89"
};

struct Node {
  int open_error;  // 0: it opens
  const char* board;
  const char* driver;
  Subdevice subdevices[4];
  int count;
};

// /dev/comedi0 to /dev/comedi47; every one absent after Reset.
extern Node nodes[48];
void Reset();

}  // namespace stand_in

#endif  // BCDMON_TESTS_COMEDI_STAND_IN_H_
