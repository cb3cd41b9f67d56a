// The comedi device on boards that a stand-in comedilib holds: the node it
// finds or refuses, the subdevice and lines it reads, what it says at load,
// and what the program's configuration, 137, does to each kind of lines.
#include <comedilib.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "driver/board.h"
#include "driver/loaded_board.h"
#include "driver/port_driver.h"
#include "tests/comedi/stand_in.h"
#include "tests/scratch.h"

namespace {

const zep::BoardFile* accepted_file = nullptr;

}  // namespace

const zep::BoardFile* zep::LoadedBoard() { return accepted_file; }

namespace {

using stand_in::Node;
using stand_in::Subdevice;

constexpr unsigned int kLines = 0x3C5A96;  // ports C, B and A of a 24-line board
const Node kUnattached = {ENODEV, nullptr, nullptr, {}, 0};
const Node kDenied = {EACCES, nullptr, nullptr, {}, 0};
const Node k8255 = {0, "8255", "8255", {{COMEDI_SUBD_DIO, 24, true, 0, kLines, false}}, 1};
const Node kTwoChips = {
    0,
    "pci-dio48h",
    "8255_pci",
    {{COMEDI_SUBD_DIO, 24, true, 0, 0, false}, {COMEDI_SUBD_DIO, 24, true, 0, kLines, false}},
    2};
// Port C and half of B outputs, set line by line, as ni_usb6501's may be.
const Node kLineByLine = {
    0, "ni_usb6501", "ni_usb6501", {{COMEDI_SUBD_DIO, 24, false, 0xFF0F00, kLines, false}}, 1};
const Node kParport = {0,
                       "comedi_parport",
                       "comedi_parport",
                       {{COMEDI_SUBD_DIO, 8, false, 0xFF, 0x96, false},
                        {COMEDI_SUBD_DI, 5, false, 0, 0x1F, false},
                        {COMEDI_SUBD_DO, 4, false, 0xF, 0, false}},
                       3};
const Node kK8055 = {0,
                     "K8055 (VM110)",
                     "vmk80xx",
                     {{COMEDI_SUBD_AI, 2, false, 0, 0, false},
                      {COMEDI_SUBD_DO, 8, false, 0xFF, 0, false},
                      {COMEDI_SUBD_DI, 5, false, 0, 0xFF, false}},
                     3};
const Node kNoDigital = {
    0, "comedi_test", "comedi_test", {{COMEDI_SUBD_AI, 8, false, 0, 0, false}}, 1};
Node Detached(Node node) {
  node.subdevices[0].gone = true;
  return node;
}

struct Placed {
  int number;
  Node node;
};

// NOLINTNEXTLINE(clang-analyzer-optin.performance.Padding): rows read in this order
struct ComediCase {
  const char* name;
  std::initializer_list<Placed> nodes;
  const char* comedi;  // the file's node; "": none named
  int subdevice;       // the file's, or kAnySubdevice
  int read;
  const char* said;               // in the line at load
  int byte;                       // each reading; -1: refused at load
  const char* words = "";         // written to the subdevice read, if an 8255's
  unsigned int outputs = 0;       // its lines that are outputs after configuring
  unsigned int ever_outputs = 0;  // and those that ever were
};

constexpr int kAny = zep::kAnySubdevice;
constexpr char kFile[] = "/etc/bcdmon/board.conf";

// The number after `marker` in the line.
unsigned long NumberAfter(const std::string& line, const char* marker) {
  const std::size_t at = line.find(marker);
  return at == std::string::npos
             ? 0
             : std::strtoul(line.c_str() + at + std::strlen(marker), nullptr, 10);
}

// A run of the program on the board accepted, as what it read and what
// configuring did to the subdevice the line at load named.
std::string RunOn(const std::string& said) {
  int byte = 0;
  const std::string run = scratch::StderrOf([&] {
    OpenPort(888);
    ConfigPort(888, 137);
    byte = ReadPort(888);
    ClosePort();
  });
  const Subdevice& read = stand_in::nodes[NumberAfter(said, " on /dev/comedi")]
                              .subdevices[NumberAfter(said, " of subdevice ")];
  char text[256];
  std::snprintf(text, sizeof text, "0x%02x [%s] 0x%x 0x%x %s", static_cast<unsigned int>(byte),
                read.words, read.outputs, read.ever_outputs, run.c_str());
  return text;
}

// An open refused at load fails with no other line.
std::string RunRefused() {
  int opened = 1;
  const std::string said = scratch::StderrOf([&] { opened = OpenPort(888); });
  return "refused " + std::to_string(opened) + said;
}

// What the row's run shows, as RunOn or RunRefused gives it.
std::string Wanted(const ComediCase& row) {
  if (row.byte < 0) return "refused 0";
  char wanted[256];
  std::snprintf(wanted, sizeof wanted, "0x%02x [%s] 0x%x 0x%x ",
                static_cast<unsigned int>(row.byte), row.words, row.outputs, row.ever_outputs);
  return wanted;
}

// The board file of the row, given to the device as if read at load.
std::string Accept(const ComediCase& row, zep::BoardFile* file, bool* accepted) {
  stand_in::Reset();
  for (const Placed& placed : row.nodes) stand_in::nodes[placed.number] = placed.node;
  zep::SetBoardDefaults(file);
  std::snprintf(file->name, sizeof file->name, "%s", kFile);
  file->present = true;
  std::snprintf(file->comedi, sizeof file->comedi, "%s", row.comedi);
  file->subdevice = row.subdevice;
  file->read = row.read;
  return scratch::StderrOf([&] { *accepted = zep::AcceptBoard(*file); });
}

TEST(ComediDeviceTest, FindsExaminesConfiguresAndReads) {
  const ComediCase cases[] = {
      {"an 8255, port A",
       {{0, k8255}},
       "/dev/comedi0",
       kAny,
       0,
       "reads lines 0 to 7 (port A) of subdevice 0 (24 lines of digital I/O) on /dev/comedi0, "
       "board 8255 (board file /etc/bcdmon/board.conf); 137 makes ports A and B outputs, which a "
       "run drives, low after configuring: wire nothing that drives to them, and read the inputs, "
       "port C, with read = 2",
       0x96,
       "0x8b 0x89",
       0xFFFF,
       0xFFFF},
      {"found on comedi2",
       {{0, kUnattached}, {1, kUnattached}, {2, k8255}},
       "",
       kAny,
       2,
       "reads lines 16 to 23 (port C) of subdevice 0 (24 lines of digital I/O) on /dev/comedi2, "
       "board 8255, the one board found (board file",
       0x3C,
       "0x8b 0x89",
       0xFFFF,
       0xFFFF},
      {"already 137",
       {{0, {0, "8255", "8255", {{COMEDI_SUBD_DIO, 24, true, 0xFFFF, kLines}}, 1}}},
       "",
       kAny,
       2,
       "(port C)",
       0x3C,
       "0x99 0x89",
       0xFFFF,
       0xFF},
      {"the second chip",
       {{0, kTwoChips}},
       "",
       1,
       1,
       "of subdevice 1",
       0x5A,
       "0x8b 0x89",
       0xFFFF,
       0xFFFF},
      {"line by line",
       {{0, kLineByLine}},
       "",
       kAny,
       1,
       "reads lines 8 to 15 of subdevice 0 (24 lines of digital I/O) on /dev/comedi0, board "
       "ni_usb6501, the one board found (board file /etc/bcdmon/board.conf); 137 means nothing",
       0x5A,
       "",
       0xFF0000,
       0x1},
      {"8 lines", {{0, kParport}}, "", kAny, 0, "subdevice 0 (8 lines of digital I/O)", 0x96},
      {"5 inputs",
       {{0, kParport}},
       "/dev/comedi0",
       1,
       0,
       "reads lines 0 to 4 of subdevice 1 (5 digital inputs) on /dev/comedi0, board "
       "comedi_parport (board file /etc/bcdmon/board.conf); bits 5 to 7 read 0",
       0x1F,
       "",
       0,
       0},
      {"the first to read",
       {{0, kK8055}},
       "",
       kAny,
       0,
       "of subdevice 2 (5 digital inputs)",
       0x1F,
       "",
       0,
       0},
      {"a read past the last line",
       {{0, kK8055}},
       "",
       kAny,
       1,
       "read = 1 in /etc/bcdmon/board.conf names lines 8 to 15, past the last of subdevice 2 of "
       "/dev/comedi0, which has 5: read = 0 reads them",
       -1},
      {"an 8255's control register", {{0, k8255}}, "", kAny, 3, "read = 3 names the 8255's", -1},
      {"an output subdevice",
       {{0, kParport}},
       "",
       2,
       0,
       "subdevice 2 of /dev/comedi0 (comedi_parport), which /etc/bcdmon/board.conf names, is "
       "digital output, which cannot be read: subdevice 0 and 1 can be read",
       -1},
      {"no such subdevice", {{0, kParport}}, "", 5, 0, "has no subdevice 5", -1},
      {"no digital input",
       {{1, kNoDigital}},
       "",
       kAny,
       0,
       "/dev/comedi1 is attached to comedi_test (driver comedi_test), which has no digital",
       -1},
      {"no board",
       {{0, kUnattached}},
       "",
       kAny,
       0,
       "no board is attached to /dev/comedi0 to /dev/comedi47: for a PCI or USB card",
       -1},
      {"several boards",
       {{0, k8255}, {4, kTwoChips}, {5, kNoDigital}},
       "",
       kAny,
       0,
       "2 boards can be read, on /dev/comedi0 (8255) and /dev/comedi4 (pci-dio48h): name one in "
       "/etc/bcdmon/board.conf, as comedi = /dev/comedi0",
       -1},
      {"one denied",
       {{0, kDenied}, {1, k8255}},
       "",
       kAny,
       0,
       "cannot open /dev/comedi0: Permission denied",
       -1},
      {"the named node absent", {{1, k8255}}, "/dev/comedi0", kAny, 0, "no /dev/comedi0: ", -1},
  };
  for (const ComediCase& row : cases) {
    SCOPED_TRACE(row.name);
    zep::BoardFile file{};
    bool accepted = false;
    const std::string said = Accept(row, &file, &accepted);
    const bool one_line = said.find('\n') == said.size() - 1;
    EXPECT_TRUE(one_line && said.find(row.said) != std::string::npos) << said;
    accepted_file = accepted ? &file : nullptr;
    EXPECT_EQ(accepted ? RunOn(said) : RunRefused(), Wanted(row));
  }
}

// Standard error while `call` runs, with standard output on the same
// pseudo-terminal, as a user at a console has them.
template <typename Call>
std::string TerminalOf(Call call) {
  int master = -1;
  int slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return "no pseudo-terminal";
  termios mode{};
  tcgetattr(slave, &mode);
  cfmakeraw(&mode);
  tcsetattr(slave, TCSANOW, &mode);
  const int output = dup(1);
  const int error = dup(2);
  dup2(slave, 1);
  dup2(slave, 2);
  call();
  dup2(output, 1);
  dup2(error, 2);
  close(output);
  close(error);
  close(slave);
  std::string shown;
  char text[512];
  pollfd ready = {master, POLLIN, 0};
  for (ssize_t got = 1; got > 0 && poll(&ready, 1, 0) == 1;) {
    got = read(master, text, sizeof text);
    shown.append(text, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
  }
  close(master);
  return shown;
}

// A board detached while it is read: one line, and FF for every reading.
// On a terminal that the readings share, the line stands apart from them,
// each of which starts a line of its own.
TEST(ComediDeviceTest, SaysAFailedReadOnce) {
  constexpr char kLine[] =
      "libzepdriver: comedi device: reading subdevice 0 of /dev/comedi0 failed: No such device, "
      "as the board was detached or removed: attach it or plug it in again, then start the "
      "program again; the readings show FF from here";
  const auto run = [] {
    stand_in::Reset();
    stand_in::nodes[0] = k8255;
    static zep::BoardFile file{};
    zep::SetBoardDefaults(&file);
    accepted_file = zep::AcceptBoard(file) ? &file : nullptr;
    stand_in::nodes[0] = Detached(k8255);
    OpenPort(888);
    for (int reading = 0; reading < 3; ++reading) EXPECT_EQ(ReadPort(888), 0xFF);
    ClosePort();
  };
  const std::string said = scratch::StderrOf(run);
  EXPECT_EQ(said.substr(said.find('\n') + 1), kLine + std::string("\n"));
  const std::string shown = TerminalOf(run);
  EXPECT_EQ(shown.substr(shown.find("\nlibzepdriver: comedi device: reading")),
            "\n" + std::string(kLine));
}

}  // namespace
