// The board file read, checked and parsed, as the drivers do at load: the
// block it moves the program's 888 to, or the one line of a bad file. A
// normal user cannot give a file to root, so this test links its own owner
// for the trust check to see in place of the file's, and runs as any user.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "driver/board.h"
#include "driver/board_file.h"
#include "tests/scratch.h"

namespace {

uid_t seen_owner = 0;

}  // namespace

uid_t zep::OwnerOf(const struct stat& /*status*/) { return seen_owner; }

namespace {

// What the driver makes of a board file for the program's 888: the block,
// or, when the file is bad, one line naming the file, the line where there
// is one, and the problem.
// NOLINTNEXTLINE(clang-analyzer-optin.performance.Padding): rows read in this order
struct BoardCase {
  const char* name;
  std::string text;  // written to the board file; "-": no file
  mode_t mode;
  std::string path;  // where the variable points, if not to the board file
  long base;
  const char* said;  // for a bad file: the rest of the line after the file's name
  uid_t owner = 0;   // whom the trust check sees owning the file
};

using namespace std::string_literals;  // for texts with a NUL, or a byte-order mark

constexpr long kBad = -1;
const std::string kLongest = "#" + std::string(255, '-');  // 256 characters, the most

class BoardFileTest : public scratch::ScratchTest {};

TEST_F(BoardFileTest, MovesTheBlockOrIsRefused) {
  const BoardCase cases[] = {
      {"no file: /dev/null", "-", 0644, "/dev/null", 888, ""},
      {"comments, blank lines", "# base = 1\n\n \t\n" + kLongest + "\n", 0644, "", 888, ""},
      {"hexadecimal", "base = 0xd010\n", 0644, "", 0xD010, ""},
      {"decimal, no spaces or line feed", "base=53264", 0644, "", 0xD010, ""},
      {"tabs, 0X, comment", "\tbase\t=\t0XD010# the card\n", 0644, "", 0xD010, ""},
      {"the last block", "base = 0xfffc\n", 0644, "", 0xFFFC, ""},
      {"a byte-order mark", "\xEF\xBB\xBF"s + "base = 0xd010\n", 0644, "", 0xD010, ""},
      {"the comedi keys", "comedi = /dev/comedi1\nsubdevice = 1\nbase = 0xd010\n", 0644, "", 0xD010,
       ""},
      {"not a number", "#\nbase = 0xd01g\n", 0644, "", kBad, ", line 2: \"0xd01g\" is not"},
      {"a leading zero", "base = 0378\n", 0644, "", kBad,
       ", line 1: \"0378\" has a leading zero, which makes it octal to some programs and decimal "
       "to others: write 378 for decimal, or 0x378 for hexadecimal\n"},
      {"past 0xFFFF", "base = 0xfffd\n", 0644, "", kBad, ", line 1: \"0xfffd\" as base"},
      {"overflow", "base = 4294968184\n", 0644, "", kBad, ", line 1: \"4294968184\" as"},
      {"an offset past 3", "config = 4\n", 0644, "", kBad, ", line 1: \"4\" is not an offset"},
      {"a comedi node not from /", "comedi = comedi0\n", 0644, "", kBad,
       ", line 1: \"comedi0\" is not a path from /"},
      {"unknown key", "bsae = 1\n", 0644, "", kBad, ", line 1: \"bsae\" is not a key"},
      {"an escape sequence", "base = \x1b[31mRED\n", 0644, "", kBad,
       ", line 1: \"\\x1b[31mRED\" is not a number"},
      {"a key twice", "read=1\nread=1\n", 0644, "", kBad, ", line 2: \"read\" is given twice"},
      {"no =", "base 0xd010\n", 0644, "", kBad, ", line 1: \"base 0xd010\" is not"},
      {"too long", kLongest + "-\n", 0644, "", kBad, ", line 1: longer than 256"},
      {"a file of NULs", std::string(512, '\0'), 0644, "", kBad,
       ", line 1: holds a NUL byte, which no text file has: the file looks damaged"},
      {"a NUL after a setting", "#\nbase = 0xd010\0\n"s, 0644, "", kBad, ", line 2: holds a NUL"},
      {"a NUL hiding a long line's end", "#\0"s + std::string(255, '-') + "base = 0xd010\n", 0644,
       "", kBad, ", line 1: holds a NUL"},
      {"over 64 KiB", std::string(65536, '\n') + "#", 0644, "", kBad, ": 65537 bytes, more than"},
      {"not root's", "base = 1\n", 0644, "", kBad, ": owned by uid 1, not root", 1},
      {"group-writable", "base = 1\n", 0664, "", kBad, ": writable by others than root"},
      {"world-writable", "base = 1\n", 0646, "", kBad, ": writable by others than root"},
      {"not a file", "-", 0644, "/dev/zero", kBad, ": not a regular file"},
      {"unreadable", "-", 0644, "/dev/null/board.conf", kBad, ": cannot be read: Not a"},
      {"named, missing", "-", 0644, "", kBad,
       ": cannot be read: No such file or directory; BCDMON_BOARD_CONF names it"},
  };
  for (const BoardCase& board : cases) {
    SCOPED_TRACE(board.name);
    const std::string file = board.path.empty() ? BoardFile() : board.path;
    unlink(BoardFile().c_str());
    if (board.text != "-") {
      std::ofstream(BoardFile()) << board.text;
      ASSERT_EQ(chmod(BoardFile().c_str(), board.mode), 0);
    }
    setenv("BCDMON_BOARD_CONF", file.c_str(), 1);
    seen_owner = board.owner;
    zep::BoardFile read{};
    bool good = false;
    const std::string errors = scratch::StderrOf([&] { good = zep::ReadBoardFile(&read); });
    EXPECT_EQ(read.name, file);
    if (board.base != kBad) {
      EXPECT_TRUE(good);
      EXPECT_EQ(errors, "");
      EXPECT_EQ(read.present, board.text != "-");
      EXPECT_EQ(zep::BoardAt(888, read).base, board.base);
      continue;
    }
    EXPECT_FALSE(good);
    EXPECT_EQ(errors.rfind("libzepdriver: " + file + board.said, 0), 0U) << errors;
    EXPECT_EQ(errors.find('\n'), errors.size() - 1) << errors;
  }
}

// The variable set but empty names no file: the installed one is read.
// What the host holds there decides the rest, so only the name is checked.
TEST_F(BoardFileTest, AnEmptyVariableNamesNoFile) {
  setenv("BCDMON_BOARD_CONF", "", 1);
  zep::BoardFile read{};
  scratch::StderrOf([&] { zep::ReadBoardFile(&read); });
  EXPECT_STREQ(read.name, BCDMON_BOARD_FILE);
}

}  // namespace
