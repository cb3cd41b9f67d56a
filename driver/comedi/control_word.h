// Maps an 8255's control word to the directions comedi sets, and back.
// Comedi's 8255 driver writes the word itself, in mode 0, from the direction
// of each of the chip's four groups of lines. So the comedi device has the
// program's word written by setting those directions, and it cannot write a
// word that is not such a mode-0 word at all.
#ifndef BCDMON_DRIVER_COMEDI_CONTROL_WORD_H_
#define BCDMON_DRIVER_COMEDI_CONTROL_WORD_H_

namespace zep {

// The groups, in the order the comedi device sets them. Comedi numbers the
// chip's 24 lines A0-A7 as channels 0-7, B0-B7 as 8-15, C0-C7 as 16-23.
enum Group { kPortA, kPortB, kPortCUpper, kPortCLower, kGroupCount };
constexpr unsigned int kGroupChannel[kGroupCount] = {0, 8, 20, 16};  // a channel of each group
constexpr unsigned int kChannels = 24;

// The word: the mode-set flag, the modes of the groups A (with C's upper
// half) and B (with C's lower half), and a bit per group for input.
constexpr int kModeSet = 0x80;
constexpr int kModes = 0x60 | 0x04;
constexpr int kInputBit[kGroupCount] = {0x10, 0x02, 0x08, 0x01};

// Each group's direction: true for input.
struct Directions {
  bool input[kGroupCount];
};

// A word comedi's driver writes: the mode set, both groups in mode 0. Not a
// word with bit 7 clear, which sets or resets one line of C.
constexpr bool IsModeZeroWord(int word) { return (word & (kModeSet | kModes)) == kModeSet; }

constexpr Directions DirectionsOf(int word) {
  Directions directions{};
  for (int group = 0; group < kGroupCount; ++group) {
    directions.input[group] = (word & kInputBit[group]) != 0;
  }
  return directions;
}

// The word the driver writes for the directions.
constexpr int WordOf(const Directions& directions) {
  int word = kModeSet;
  for (int group = 0; group < kGroupCount; ++group) {
    if (directions.input[group]) word |= kInputBit[group];
  }
  return word;
}

}  // namespace zep

#endif  // BCDMON_DRIVER_COMEDI_CONTROL_WORD_H_
