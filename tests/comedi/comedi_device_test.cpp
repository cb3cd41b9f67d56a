// The comedi device on boards that a stand-in comedilib holds: the node it
// finds or refuses, the subdevice and lines it reads, what it says at load,
// and what the program's configuration, 137, does to each kind of lines.
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
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
constexpr Subdevice kChip = {COMEDI_SUBD_DIO, 24, true, 0, kLines};
constexpr Subdevice kAnalog = {COMEDI_SUBD_AI, 8, false, 0, 0};

// A node by its letter: absent, unattached, denied; an 8255, one after a
// run under 137, a card of two; a board that sets its lines one by one, its
// port C and half of B outputs; a printer port; a Velleman K8055; a board
// with no digital input.
Node NodeOf(char letter) {
  switch (letter) {
    case 'u':
      return {ENODEV, nullptr, {}, 0};
    case 'd':
      return {EACCES, nullptr, {}, 0};
    case '8':
      return {0, "8255", {kChip}, 1};
    case 'o':
      return {0, "8255", {{COMEDI_SUBD_DIO, 24, true, 0xFFFF, kLines}}, 1};
    case '2':
      return {0, "pci-dio48h", {{COMEDI_SUBD_DIO, 24, true, 0, 0}, kChip}, 2};
    case 'l':
      return {0, "ni_usb6501", {{COMEDI_SUBD_DIO, 24, false, 0xFF0F00, kLines}}, 1};
    case 'p':
      return {0,
              "comedi_parport",
              {{COMEDI_SUBD_DIO, 8, false, 0xFF, 0x96},
               {COMEDI_SUBD_DI, 5, false, 0, 0xFF},
               {COMEDI_SUBD_DO, 4, false, 0xF, 0}},
              3};
    case 'k':
      return {0,
              "vmk80xx",
              {kAnalog, {COMEDI_SUBD_DO, 8, false, 0xFF, 0}, {COMEDI_SUBD_DI, 5, false, 0, 0xFF}},
              3};
    case 't':
      return {0, "comedi_test", {kAnalog}, 1};
    default:
      return {ENOENT, nullptr, {}, 0};
  }
}

// NOLINTNEXTLINE(clang-analyzer-optin.performance.Padding): rows read in this order
struct ComediCase {
  const char* name;
  const char* nodes;  // /dev/comedi0 on, a letter each, as NodeOf reads them
  const char* file;   // the board file's text
  const char* said;   // in the line at load
  const char* run;    // what a run reads and does to the subdevice read, as RunOn says
};

// A run of the program on the board accepted at load: the byte read, the
// words written, and the lines of the subdevice `said` names that are
// outputs, and that were ever made outputs.
std::string RunOn(const std::string& said) {
  int byte = 0;
  const std::string lines = scratch::StderrOf([&] {
    OpenPort(888);
    ConfigPort(888, 137);
    byte = ReadPort(888);
    ClosePort();
  });
  const auto number_after = [&](const char* marker) {
    return std::strtoul(said.c_str() + said.find(marker) + std::strlen(marker), nullptr, 10);
  };
  const Subdevice& read =
      stand_in::nodes[number_after(" on /dev/comedi")].subdevices[number_after(" of subdevice ")];
  char text[128];
  std::snprintf(text, sizeof text, "byte 0x%02x, words%s, outputs 0x%x, made 0x%x%s",
                static_cast<unsigned int>(byte), read.words, read.outputs, read.ever_outputs,
                lines.c_str());
  return text;
}

// The row's boards and board file, given to the device as if read at load.
std::string Accept(const ComediCase& row, zep::BoardFile* file, bool* accepted) {
  for (int node = 0; node < stand_in::kNodes; ++node) {
    stand_in::nodes[node] =
        NodeOf(row.nodes[std::min(static_cast<std::size_t>(node), std::strlen(row.nodes))]);
  }
  std::snprintf(file->name, sizeof file->name, "/etc/bcdmon/board.conf");
  file->present = true;
  std::string text = row.file;
  std::FILE* const stream = fmemopen(text.data(), text.size(), "r");
  EXPECT_TRUE(zep::ParseBoard(stream, file));
  std::fclose(stream);
  return scratch::StderrOf([&] { *accepted = zep::AcceptBoard(*file); });
}

TEST(ComediDeviceTest, FindsExaminesConfiguresAndReads) {
  const ComediCase cases[] = {
      {"an 8255 named, port A", "8", "comedi = /dev/comedi0",
       "reads lines 0 to 7 (port A) of subdevice 0 (24 lines of digital I/O) on /dev/comedi0, "
       "board 8255 (board file /etc/bcdmon/board.conf); 137 makes ports A and B outputs",
       "byte 0x96, words 0x8b 0x89, outputs 0xffff, made 0xffff"},
      {"found on comedi2", "uu8", "read = 2",
       "(port C) of subdevice 0 (24 lines of digital I/O) on /dev/comedi2, board 8255, the one "
       "board found (board file /etc/bcdmon/board.conf)\n",
       "byte 0x3c, words 0x8b 0x89, outputs 0xffff, made 0xffff"},
      {"after a run", "o", "read = 2", "(port C)",
       "byte 0x3c, words 0x99 0x89, outputs 0xffff, made 0xff"},
      {"the second chip", "2", "subdevice = 1\nread = 1", "of subdevice 1",
       "byte 0x5a, words 0x8b 0x89, outputs 0xffff, made 0xffff"},
      {"line by line", "l", "read = 1",
       "reads lines 8 to 15 of subdevice 0 (24 lines of digital I/O) on /dev/comedi0, board "
       "ni_usb6501, the one board found (board file /etc/bcdmon/board.conf); 137 means nothing",
       "byte 0x5a, words, outputs 0xff0000, made 0x1"},
      {"5 inputs", "p", "subdevice = 1",
       "reads lines 0 to 4 of subdevice 1 (5 digital inputs) on /dev/comedi0, board "
       "comedi_parport, the one board found (board file /etc/bcdmon/board.conf); bits 5 to 7 "
       "read 0\n",
       "byte 0x1f, words, outputs 0x0, made 0x0"},
      {"a read past the last line", "k", "read = 1",
       "read = 1 in /etc/bcdmon/board.conf names lines 8 to 15, past the last of subdevice 2 of "
       "/dev/comedi0, which has 5: read = 0 reads them",
       "refused"},
      {"an 8255's control register", "8", "read = 3", "read = 3 names the 8255's", "refused"},
      {"an output subdevice", "p", "subdevice = 2",
       "subdevice 2 of /dev/comedi0 (comedi_parport), which /etc/bcdmon/board.conf names, is "
       "digital output, which cannot be read: subdevice 0 and 1 can be read",
       "refused"},
      {"no such subdevice", "p", "subdevice = 5", "(comedi_parport) has no subdevice 5", "refused"},
      {"no digital input", "-t", "", "/dev/comedi1 is attached to comedi_test (driver comedi_test)",
       "refused"},
      {"no board", "u", "", "no board is attached to /dev/comedi0 to /dev/comedi47: for a PCI",
       "refused"},
      {"several boards", "8---2t", "",
       "2 boards can be read, on /dev/comedi0 (8255) and /dev/comedi4 (pci-dio48h): name one in "
       "/etc/bcdmon/board.conf, as comedi = /dev/comedi0",
       "refused"},
      {"one denied", "d8", "", "cannot open /dev/comedi0: Permission denied", "refused"},
      {"the named node absent", "-8", "comedi = /dev/comedi0", "no /dev/comedi0: ", "refused"},
  };
  for (const ComediCase& row : cases) {
    SCOPED_TRACE(row.name);
    zep::BoardFile file{};
    bool accepted = false;
    const std::string said = Accept(row, &file, &accepted);
    const bool one_line = said.find('\n') == said.size() - 1;
    EXPECT_TRUE(one_line && said.find(row.said) != std::string::npos) << said;
    accepted_file = accepted ? &file : nullptr;
    EXPECT_EQ(accepted ? RunOn(said) : "refused" + scratch::StderrOf([] { OpenPort(888); }),
              row.run);
  }
}

// Standard error while `call` runs, with standard output on the same
// pseudo-terminal, as a user at a console has them.
template <typename Call>
std::string TerminalOf(Call call) {
  int master = -1;
  int slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return "no pseudo-terminal";
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
  const std::string line =
      "libzepdriver: comedi device: reading subdevice 0 of /dev/comedi0 failed: No such device, "
      "as the board was detached or removed: attach it or plug it in again, then start the "
      "program again; the readings show FF from here";
  const auto run = [] {
    static zep::BoardFile file{};
    bool accepted = false;
    Accept({"", "8", "", "", ""}, &file, &accepted);
    accepted_file = &file;
    stand_in::nodes[0].subdevices[0].gone = true;
    OpenPort(888);
    for (int reading = 0; reading < 3; ++reading) EXPECT_EQ(ReadPort(888), 0xFF);
    ClosePort();
  };
  EXPECT_EQ(scratch::StderrOf(run), line + "\n");
  const std::string shown = TerminalOf(run);
  EXPECT_EQ(shown.substr(std::min(shown.find("\r\nlibzepdriver"), shown.size())), "\r\n" + line);
}

}  // namespace
