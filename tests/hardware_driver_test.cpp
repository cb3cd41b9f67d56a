// The x86 hardware driver, linked as the program links it, with the kernel's
// port permission calls replaced by stand-ins defined here: this executable's
// definitions come before the C library's for the driver too. No stand-in
// ever grants anything real, and ConfigPort and ReadPort are called only with
// no block open, so no test runs a port instruction. Run as root, as in CI,
// each test starts with every capability, which OpenPort must give up; run
// by a normal user, it starts with none. The driver read its board file at
// load: ctest names none. The refusal's words are linked in on their own,
// as functions.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "driver/hardware/refusal.h"
#include "driver/port_driver.h"
#include "tests/scratch.h"

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

using scratch::StderrOf;

class HardwareDriverTest : public scratch::ScratchTest {
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

// What the driver makes of the process it runs in. Root holds every
// capability at the first refusal and none after it, as the driver noted
// before it gave them up; a normal user holds none.
constexpr char kRefused[] = "libzepdriver: cannot use I/O ports 0x378 to 0x37b: ";

struct Refusal {
  int error;
  // After the block, the system's word and what follows: run by root, and
  // run by a normal user.
  const char* said_to_root;
  const char* said_to_user;
};

TEST_F(HardwareDriverTest, RefusedAccessFailsWithOneLineOfReason) {
  const zep::Lockdown lockdown = zep::ReadLockdown(zep::kLockdownFile);
  if (lockdown != zep::Lockdown::kNone && lockdown != zep::Lockdown::kUnseen) {
    GTEST_SKIP() << "run on a kernel not locked down";
  }
  const Refusal refusals[] = {
      {EPERM, "Operation not permitted, although the program held CAP_SYS_RAWIO; ",
       "Operation not permitted; run it as root: sudo /"},
      {EPERM, "Operation not permitted; run by root, but without CAP_SYS_RAWIO: a container",
       "Operation not permitted; run it as root: sudo /"},
      {EACCES, "Permission denied; run by root, yet kept from opening /dev/port",
       "Permission denied; /dev/port opens for root alone: run it as root: sudo /"},
      {ENOSYS, "Function not implemented; this kernel has no port I/O",
       "Function not implemented; this kernel has no port I/O"},
      {EINVAL, "Invalid argument\n", "Invalid argument\n"},
      {EIO, "Input/output error\n", "Input/output error\n"}};
  const bool root = geteuid() == 0;
  for (const Refusal& refused : refusals) {
    const char* const said = root ? refused.said_to_root : refused.said_to_user;
    SCOPED_TRACE(said);
    requests.clear();
    refusal = refused.error;
    int result = -1;
    const std::string errors = StderrOf([&] { result = OpenPort(888); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(requests, (std::vector<Request>{{888, 4, 1}}));
    EXPECT_EQ(errors.rfind(std::string(kRefused) + said, 0), 0U) << errors;
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
       "Boot, and refuses port I/O to every process, root included: a board that a comedi "
       "driver of the kernel knows (an 8255 card, the printer port, a USB module) is read through "
       "it, with no privilege, by the comedi device (bcdmon-comedi; bcdmon(1), COMEDI DEVICE); for "
       "any other board, turning Secure Boot off in the firmware's setup lifts it (see "
       "kernel_lockdown(7))\n"},
      {EPERM,
       {false, false, false, Lockdown::kUnseen, "/home/a b/it's/bcdmon"},
       "Operation not permitted; run it as root: sudo '/home/a b/it'\\''s/bcdmon'\n"},
      {EPERM,
       {false, false, false, Lockdown::kNone, ""},
       "Operation not permitted; run it as root\n"},
  };
  for (const Cause& cause : causes) {
    char text[8192];
    zep::DescribeRefusal(888, cause.error, cause.standing, text, sizeof text);
    EXPECT_EQ("libzepdriver: " + std::string(text) + "\n", std::string(kRefused) + cause.said);
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

}  // namespace
