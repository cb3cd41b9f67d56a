// The x86 hardware driver, linked as the program links it, with the kernel's
// port permission calls replaced by stand-ins defined here: this executable's
// definitions come before the C library's for the driver too. No stand-in
// ever grants anything real, and ConfigPort and ReadPort are called only with
// no block open, so no test runs a port instruction. Run as root, as in CI,
// each test starts with every capability, which OpenPort must give up.
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

#include "driver/port_driver.h"

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

// The board file the driver reads: one of the test's own, never the host's.
class HardwareDriverTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/bcdmon-board-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    scratch_ = pattern;
    // Given away while this process may still: OpenPort gives up CAP_CHOWN too.
    std::ofstream(ForeignFile()) << "base = 1\n";
    chown(ForeignFile().c_str(), 1, 0);
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(scratch_); }
  void SetUp() override {
    requests.clear();
    iopl_calls = 0;
    refusal = 0;
    unlink(BoardFile().c_str());
    setenv("BCDMON_BOARD_CONF", BoardFile().c_str(), 1);
  }
  static std::string BoardFile() { return scratch_ + "/board.conf"; }
  static std::string ForeignFile() { return scratch_ + "/foreign.conf"; }
  static std::string scratch_;
  // Every test opens, so the process must be left without a capability,
  // whether the open was granted, refused or never asked for.
  void TearDown() override {
    EXPECT_EQ(iopl_calls, 0) << "the driver asked for every port";
    EXPECT_EQ(CapabilitySets(), kNoCapabilities);
  }
};

std::string HardwareDriverTest::scratch_;

TEST_F(HardwareDriverTest, AsksForExactlyTheBlockAndGivesItBack) {
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

// The remedy is named only where privilege helps; a kernel without port I/O
// is said to be one; any other error is told as it is.
struct Refusal {
  int error;
  bool remedy;      // root and CAP_SYS_RAWIO are named
  const char* why;  // more than the system's word, if anything
};

TEST_F(HardwareDriverTest, RefusedAccessFailsWithOneLineOfReason) {
  const Refusal refusals[] = {{EPERM, true, ""},
                              // /dev/port's mode refuses: the capability is not enough
                              {EACCES, true, "and its user read and write access to /dev/port"},
                              {ENOSYS, false, "this kernel has no port I/O"},
                              {EINVAL, false, ""},
                              {EIO, false, ""}};
  for (const Refusal& refused : refusals) {
    SCOPED_TRACE(std::strerror(refused.error));
    requests.clear();
    refusal = refused.error;
    int result = -1;
    const std::string errors = StderrOf([&] { result = OpenPort(888); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(requests, (std::vector<Request>{{888, 4, 1}}));
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors.find('\n'), errors.size() - 1) << errors;
    EXPECT_NE(errors.find(std::strerror(refused.error)), std::string::npos) << errors;
    EXPECT_EQ(errors.find("root") != std::string::npos, refused.remedy) << errors;
    EXPECT_EQ(errors.find("CAP_SYS_RAWIO") != std::string::npos, refused.remedy) << errors;
    EXPECT_NE(errors.find(refused.why), std::string::npos) << errors;

    requests.clear();
    ClosePort();  // the failed open left nothing to give back
    EXPECT_TRUE(requests.empty());
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

// What OpenPort(888) makes of a board file: the block it asks for, or, when
// the file is bad, nothing asked for and one line naming the file, the line
// where there is one, and the problem.
struct BoardCase {
  const char* name;
  std::string text;  // written to the board file; "-": no file
  mode_t mode;
  std::string path;  // where the variable points, if not to the board file
  unsigned long base;
  const char* said;  // for a bad file: the rest of the line after the file's name
};

constexpr unsigned long kBad = ~0UL;
const std::string kLongest = "#" + std::string(255, '-');  // 256 characters, the most

TEST_F(HardwareDriverTest, TheBoardFileMovesTheBlockOrIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "a board file is trusted only when root owns it: run as root";
  const BoardCase cases[] = {
      {"no file", "-", 0644, "", 888, ""},
      {"comments, blank lines", "# base = 1\n\n \t\n" + kLongest + "\n", 0644, "", 888, ""},
      {"hexadecimal", "base = 0xd010\n", 0644, "", 0xD010, ""},
      {"decimal, no spaces or line feed", "base=53264", 0644, "", 0xD010, ""},
      {"tabs, 0X, comment", "\tbase\t=\t0XD010# the card\n", 0644, "", 0xD010, ""},
      {"offsets alone", "read = 2\nconfig = 3\n", 0644, "", 888, ""},
      {"the first block, mode 0600", "base = 0\n", 0600, "", 0, ""},
      {"the last block", "base = 0xfffc\n", 0644, "", 0xFFFC, ""},
      {"not a number", "#\nbase = 0xd01g\n", 0644, "", kBad, ", line 2: \"0xd01g\" is not"},
      {"a leading zero", "base = 0378\n", 0644, "", kBad, ", line 1: \"0378\" is not"},
      {"a sign", "read = +1\n", 0644, "", kBad, ", line 1: \"+1\" is not a number"},
      {"past 0xFFFF", "base = 0xfffd\n", 0644, "", kBad, ", line 1: \"0xfffd\" as base"},
      {"overflow", "base = 4294968184\n", 0644, "", kBad, ", line 1: \"4294968184\" as"},
      {"an offset past 3", "config = 4\n", 0644, "", kBad, ", line 1: \"4\" is not an offset"},
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
    requests.clear();
    const std::string file = board.path.empty() ? BoardFile() : board.path;
    unlink(BoardFile().c_str());
    if (board.text != "-") {
      std::ofstream(BoardFile()) << board.text;
      ASSERT_EQ(chmod(BoardFile().c_str(), board.mode), 0);
    }
    setenv("BCDMON_BOARD_CONF", file.c_str(), 1);
    int result = -1;
    const std::string errors = StderrOf([&] { result = OpenPort(888); });
    ClosePort();
    if (board.base != kBad) {
      EXPECT_NE(result, 0);
      EXPECT_EQ(errors, "");
      EXPECT_EQ(requests, (std::vector<Request>{{board.base, 4, 1}, {board.base, 4, 0}}));
      continue;
    }
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(errors.rfind("libzepdriver: " + file + board.said, 0), 0U) << errors;
    EXPECT_EQ(errors.find('\n'), errors.size() - 1) << errors;
  }
}

}  // namespace
