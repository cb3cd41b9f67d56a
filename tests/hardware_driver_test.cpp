// The x86 hardware driver, linked as the program links it, with the kernel's
// port permission calls replaced by stand-ins defined here: this executable's
// definitions come before the C library's for the driver too. No stand-in
// ever grants anything real, and ConfigPort and ReadPort are called only with
// no block open, so no test runs a port instruction. Run as root, as in CI,
// each test starts with every capability, which OpenPort must give up. The
// driver read its board file at load: ctest names none. The board file's
// parsing and the refusal's words are linked in on their own, as functions.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/board.h"
#include "driver/port_driver.h"
#include "driver/refusal.h"

namespace {

struct Request {
  unsigned long from;
  unsigned long count;
  int on;
  bool operator==(const Request& other) const {
    return from == other.from && count == other.count && on == other.on;
  }
};

std::vector<Request> requests;
int iopl_calls = 0;
int refusal = 0;  // errno the stand-in fails with; 0 grants

}  // namespace

extern "C" int ioperm(unsigned long from, unsigned long count, int on) {
  requests.push_back({from, count, on});
  if (refusal == 0) return 0;
  errno = refusal;
  return -1;
}

extern "C" int iopl(int /*level*/) {
  ++iopl_calls;
  errno = EPERM;
  return -1;
}

namespace {

void PrintTo(const Request& request, std::ostream* stream) {
  *stream << "(" << request.from << ", " << request.count << ", " << request.on << ")";
}

// The capability sets of this process as the kernel shows them, but the
// bounding set, which only limits what a new program could get.
std::string CapabilitySets() {
  std::ifstream status("/proc/self/status");
  std::string sets;
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Cap", 0) == 0 && line.rfind("CapBnd", 0) != 0) sets += line + "\n";
  }
  return sets;
}

constexpr char kNoCapabilities[] =
    "CapInh:\t0000000000000000\nCapPrm:\t0000000000000000\n"
    "CapEff:\t0000000000000000\nCapAmb:\t0000000000000000\n";

// Standard error while `call` runs.
template <typename Call>
std::string StderrOf(Call call) {
  std::fflush(stderr);
  char path[] = "/tmp/bcdmon-stderr-XXXXXX";
  const int file = mkstemp(path);
  const int saved = dup(2);
  dup2(file, 2);
  call();
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::string text;
  char buffer[512];
  lseek(file, 0, SEEK_SET);
  for (ssize_t got; (got = read(file, buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  close(file);
  unlink(path);
  return text;
}

// A folder for board files of the test's own.
class ScratchTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/bcdmon-board-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    scratch_ = pattern;
    // Given away while this process may still: OpenPort gives up CAP_CHOWN too.
    std::ofstream(ForeignFile()) << "base = 1\n";
    ASSERT_EQ(chown(ForeignFile().c_str(), 1, 0), 0) << "run as root: " << std::strerror(errno);
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(scratch_); }
  static std::string BoardFile() { return scratch_ + "/board.conf"; }
  static std::string ForeignFile() { return scratch_ + "/foreign.conf"; }
  static std::string scratch_;
};

std::string ScratchTest::scratch_;

class HardwareDriverTest : public ScratchTest {
 protected:
  void SetUp() override {
    requests.clear();
    iopl_calls = 0;
    refusal = 0;
  }
  // Every test opens, so the process must be left without a capability,
  // whether the open was granted, refused or never asked for.
  void TearDown() override {
    EXPECT_EQ(iopl_calls, 0) << "the driver asked for every port";
    EXPECT_EQ(CapabilitySets(), kNoCapabilities);
  }
};

TEST_F(HardwareDriverTest, AsksForExactlyTheBlockAndGivesItBack) {
  // Too late: what the driver said at load holds.
  std::ofstream(BoardFile()) << "base = 0xd010\n";
  setenv("BCDMON_BOARD_CONF", BoardFile().c_str(), 1);
  std::string errors = StderrOf([] {
    EXPECT_NE(OpenPort(888), 0);
    EXPECT_EQ(requests, (std::vector<Request>{{888, 4, 1}}));
    ClosePort();
  });
  EXPECT_EQ(requests, (std::vector<Request>{{888, 4, 1}, {888, 4, 0}}));
  EXPECT_EQ(errors, "");

  requests.clear();
  ClosePort();  // nothing open: nothing to give back
  EXPECT_TRUE(requests.empty());
}

TEST_F(HardwareDriverTest, OpeningAgainGivesTheEarlierBlockBack) {
  ASSERT_NE(OpenPort(888), 0);
  EXPECT_EQ(CapabilitySets(), kNoCapabilities) << "while the block is held";
  ASSERT_NE(OpenPort(0x2F8), 0);
  ClosePort();
  EXPECT_EQ(requests,
            (std::vector<Request>{{888, 4, 1}, {888, 4, 0}, {0x2F8, 4, 1}, {0x2F8, 4, 0}}));
}

// What the driver makes of the process it runs in: root, holding every
// capability at the first refusal and none after it, as it noted before it
// gave them up.
constexpr char kRefused[] = "libzepdriver: cannot use I/O ports 0x378 to 0x37b: ";

struct Refusal {
  int error;
  const char* said;  // after the block, the system's word and what follows
};

TEST_F(HardwareDriverTest, RefusedAccessFailsWithOneLineOfReason) {
  const zep::Lockdown lockdown = zep::ReadLockdown(zep::kLockdownFile);
  if (geteuid() != 0 || (lockdown != zep::Lockdown::kNone && lockdown != zep::Lockdown::kUnseen)) {
    GTEST_SKIP() << "run as root, on a kernel not locked down";
  }
  const Refusal refusals[] = {
      {EPERM, "Operation not permitted, although the program held CAP_SYS_RAWIO; "},
      {EPERM, "Operation not permitted; run by root, but without CAP_SYS_RAWIO: a container"},
      {EACCES, "Permission denied; run by root, yet kept from opening /dev/port"},
      {ENOSYS, "Function not implemented; this kernel has no port I/O"},
      {EINVAL, "Invalid argument\n"},
      {EIO, "Input/output error\n"}};
  for (const Refusal& refused : refusals) {
    SCOPED_TRACE(refused.said);
    requests.clear();
    refusal = refused.error;
    int result = -1;
    const std::string errors = StderrOf([&] { result = OpenPort(888); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(requests, (std::vector<Request>{{888, 4, 1}}));
    EXPECT_EQ(errors.rfind(std::string(kRefused) + refused.said, 0), 0U) << errors;
    EXPECT_EQ(errors.find('\n'), errors.size() - 1) << errors;

    requests.clear();
    ClosePort();  // the failed open left nothing to give back
    EXPECT_TRUE(requests.empty());
  }
}

// Where the program stood, and the cause and the step the line names, where
// the emulated PC cannot show them.
struct Cause {
  int error;
  zep::Standing standing;  // root, held, packaged, lockdown, program
  const char* said;        // after "0x37b: "
};

TEST(RefusalTest, NamesTheCauseAndTheStepThatHelpsWhereTheProgramStands) {
  using zep::Lockdown;
  const Cause causes[] = {
      {EPERM,
       {true, true, false, Lockdown::kUnseen, "/b/bcdmon"},
       "Operation not permitted, although the program held CAP_SYS_RAWIO; a user namespace or "
       "container withholds port I/O, a security module refused it, or the kernel is locked down "
       "with no securityfs at /sys/kernel/security to show it (see kernel_lockdown(7))\n"},
      {EACCES,
       {false, false, false, Lockdown::kConfidentiality, "/b/bcdmon"},
       "Permission denied; the kernel is locked down (confidentiality), as under UEFI Secure "
       "Boot, and refuses port I/O to every process, root included: an 8255 board is read "
       "through the kernel's own comedi driver, with no privilege, by the comedi device "
       "(bcdmon-comedi; bcdmon(1), COMEDI DEVICE); for any other board, turning Secure Boot off "
       "in the firmware's setup lifts it (see kernel_lockdown(7))\n"},
      {EPERM,
       {false, false, false, Lockdown::kUnseen, "/home/a b/it's/bcdmon"},
       "Operation not permitted; run it as root: sudo '/home/a b/it'\\''s/bcdmon'\n"},
      {EPERM,
       {false, false, false, Lockdown::kNone, ""},
       "Operation not permitted; run it as root\n"},
  };
  for (const Cause& cause : causes) {
    char line[8192];
    zep::DescribeRefusal(888, cause.error, cause.standing, line, sizeof line);
    EXPECT_EQ(line, std::string(kRefused) + cause.said);
  }
}

TEST_F(HardwareDriverTest, AddressesOutsideTheIoSpaceAskForNothing) {
  for (const int address : {-1, INT_MIN, 0xFFFD, 0xFFFF, 0x10000, 0x10378, INT_MAX}) {
    const std::string errors = StderrOf([&] { EXPECT_EQ(OpenPort(address), 0) << address; });
    EXPECT_EQ(errors.find('\n'), errors.size() - 1) << address << ": " << errors;
    EXPECT_EQ(CapabilitySets(), kNoCapabilities) << address;
  }
  EXPECT_TRUE(requests.empty());

  for (const int address : {0, 0xFFFC}) {
    EXPECT_NE(OpenPort(address), 0) << address;
    ClosePort();
  }
  EXPECT_EQ(requests, (std::vector<Request>{{0, 4, 1}, {0, 4, 0}, {0xFFFC, 4, 1}, {0xFFFC, 4, 0}}));
}

// A port instruction without the kernel's permission kills the process, so a
// port that is not open is never touched.
TEST_F(HardwareDriverTest, PortsNotOpenAreNotTouched) {
  EXPECT_EQ(ReadPort(888), 0xFF);
  EXPECT_EQ(ConfigPort(888, 137), 0);
  refusal = EPERM;
  StderrOf([] { OpenPort(888); });
  EXPECT_EQ(ReadPort(888), 0xFF);
  EXPECT_EQ(ConfigPort(888, 137), 0);
}

// What the driver makes of a board file for the program's 888: the block,
// or, when the file is bad, one line naming the file, the line where there
// is one, and the problem.
struct BoardCase {
  const char* name;
  std::string text;  // written to the board file; "-": no file
  mode_t mode;
  std::string path;  // where the variable points, if not to the board file
  long base;
  const char* said;  // for a bad file: the rest of the line after the file's name
};

constexpr long kBad = -1;
const std::string kLongest = "#" + std::string(255, '-');  // 256 characters, the most

class BoardFileTest : public ScratchTest {};

TEST_F(BoardFileTest, MovesTheBlockOrIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "a board file is trusted only when root owns it: run as root";
  const BoardCase cases[] = {
      {"no file", "-", 0644, "", 888, ""},
      {"comments, blank lines", "# base = 1\n\n \t\n" + kLongest + "\n", 0644, "", 888, ""},
      {"hexadecimal", "base = 0xd010\n", 0644, "", 0xD010, ""},
      {"decimal, no spaces or line feed", "base=53264", 0644, "", 0xD010, ""},
      {"tabs, 0X, comment", "\tbase\t=\t0XD010# the card\n", 0644, "", 0xD010, ""},
      {"the last block", "base = 0xfffc\n", 0644, "", 0xFFFC, ""},
      {"a comedi node", "comedi = /dev/comedi1\nbase = 0xd010\n", 0644, "", 0xD010, ""},
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
      {"a key twice", "read=1\nread=1\n", 0644, "", kBad, ", line 2: \"read\" is given twice"},
      {"no =", "base 0xd010\n", 0644, "", kBad, ", line 1: \"base 0xd010\" is not"},
      {"too long", kLongest + "-\n", 0644, "", kBad, ", line 1: longer than 256"},
      {"not root's", "-", 0644, ForeignFile(), kBad, ": owned by uid 1, not root"},
      {"group-writable", "base = 1\n", 0664, "", kBad, ": writable by others than root"},
      {"world-writable", "base = 1\n", 0646, "", kBad, ": writable by others than root"},
      {"not a file", "-", 0644, "/dev/null", kBad, ": not a regular file"},
      {"unreadable", "-", 0644, "/dev/null/board.conf", kBad, ": cannot be read: Not a"},
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
    zep::BoardFile read{};
    bool good = false;
    const std::string errors = StderrOf([&] { good = zep::ReadBoardFile(&read); });
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

}  // namespace
