// The 8255's control words as comedi's directions, and back: the comedi
// device sets the directions, and the kernel writes the word they make.
#include <gtest/gtest.h>

#include "driver/comedi/control_word.h"

namespace {

struct WordCase {
  int word;
  bool mode_zero;              // comedi can write it
  zep::Directions directions;  // input: A, B, C's upper half, C's lower half
};

TEST(Comedi8255Test, ModeZeroWordsAreDirectionsAndBack) {
  const WordCase cases[] = {
      {0x89, true, {{false, false, true, true}}},  // the program's 137
      {0x90, true, {{true, false, false, false}}},
      {0x82, true, {{false, true, false, false}}},
      {0x88, true, {{false, false, true, false}}},
      {0x81, true, {{false, false, false, true}}},
      {0x0f, false, {}},  // sets line 7 of port C
      {0xa9, false, {}},  // group A in mode 1
      {0xc9, false, {}},  // group A in mode 2
      {0x8d, false, {}},  // group B in mode 1
  };
  for (const WordCase& row : cases) {
    SCOPED_TRACE(row.word);
    EXPECT_EQ(zep::IsModeZeroWord(row.word), row.mode_zero);
    if (!row.mode_zero) continue;
    const zep::Directions directions = zep::DirectionsOf(row.word);
    for (int group = 0; group < zep::kGroupCount; ++group) {
      EXPECT_EQ(directions.input[group], row.directions.input[group]) << "group " << group;
    }
    EXPECT_EQ(zep::WordOf(row.directions), row.word);
  }
}

}  // namespace
