// The comedi device on boards that a stand-in comedilib holds: the node it
// finds or refuses, the subdevice and lines it reads, what it says at load,
// and what the program's configuration, 137, does to each kind of lines.
// The stand-in's calls are linked in place of comedilib's; each parameter
// is named as comedilib.h names it.
#include <comedilib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "driver/board.h"
#include "driver/loaded_board.h"
#include "driver/port_driver.h"
#include "tests/scratch.h"

namespace stand_in {

// The boards the kernel would have attached, and what the device did.
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
Node nodes[kNodes];

}  // namespace stand_in

using stand_in::Node;
using stand_in::nodes;
using stand_in::Subdevice;

namespace {

int last_error = 0;

Node& NodeOf(comedi_t* it) { return *reinterpret_cast<Node*>(it); }

Subdevice* SubdeviceOf(comedi_t* it, unsigned int subd) {
  Subdevice* const found = &NodeOf(it).subdevices[subd];
  if (!found->gone) return found;
  last_error = ENODEV;
  return nullptr;
}

// The lines that move with `chan`: its 8255 group, or itself alone.
unsigned int MovedWith(const Subdevice& subdevice, unsigned int chan) {
  if (!subdevice.groups8255) return 1U << chan;
  return chan < 8 ? 0xFFU : chan < 16 ? 0xFF00U : chan < 20 ? 0xF0000U : 0xF00000U;
}

// Appends the word an 8255's driver writes for the directions.
void AppendWord(Subdevice* subdevice) {
  const unsigned int in = ~subdevice->outputs;
  const unsigned int word =
      0x80U | ((in & 0xFFU) == 0xFFU ? 0x10U : 0) | ((in & 0xFF00U) == 0xFF00U ? 0x02U : 0) |
      ((in & 0xF00000U) == 0xF00000U ? 0x08U : 0) | ((in & 0xF0000U) == 0xF0000U ? 0x01U : 0);
  const std::size_t used = std::strlen(subdevice->words);
  std::snprintf(subdevice->words + used, sizeof subdevice->words - used, " 0x%02x", word);
}

}  // namespace

extern "C" {

comedi_t* comedi_open(const char* fn) {
  const long number = std::strtol(fn + std::strlen("/dev/comedi"), nullptr, 10);
  last_error = nodes[number].open_error;
  return last_error == 0 ? reinterpret_cast<comedi_t*>(&nodes[number]) : nullptr;
}

int comedi_close(comedi_t* /*it*/) { return 0; }
int comedi_errno() { return last_error; }
int comedi_get_n_subdevices(comedi_t* it) { return NodeOf(it).count; }
const char* comedi_get_board_name(comedi_t* it) { return NodeOf(it).board; }
const char* comedi_get_driver_name(comedi_t* it) { return NodeOf(it).board; }

int comedi_get_subdevice_type(comedi_t* it, unsigned int subdevice) {
  return NodeOf(it).subdevices[subdevice].type;
}

int comedi_get_n_channels(comedi_t* it, unsigned int subdevice) {
  return NodeOf(it).subdevices[subdevice].lines;
}

int comedi_dio_config(comedi_t* it, unsigned int subd, unsigned int chan, unsigned int dir) {
  Subdevice* const subdevice = SubdeviceOf(it, subd);
  if (subdevice == nullptr) return -1;
  const unsigned int moved = MovedWith(*subdevice, chan);
  subdevice->outputs =
      dir == COMEDI_OUTPUT ? subdevice->outputs | moved : subdevice->outputs & ~moved;
  if (dir == COMEDI_OUTPUT) subdevice->ever_outputs |= moved;
  if (subdevice->groups8255) AppendWord(subdevice);
  return 1;
}

int comedi_dio_get_config(comedi_t* it, unsigned int subd, unsigned int chan, unsigned int* dir) {
  const Subdevice* const subdevice = SubdeviceOf(it, subd);
  if (subdevice == nullptr) return -1;
  *dir = (subdevice->outputs >> chan & 1U) != 0 ? COMEDI_OUTPUT : COMEDI_INPUT;
  return 1;
}

int comedi_dio_bitfield2(comedi_t* it, unsigned int subd, unsigned int /*write_mask*/,
                         unsigned int* bits, unsigned int /*base_channel*/) {
  const Subdevice* const subdevice = SubdeviceOf(it, subd);
  if (subdevice == nullptr) return -1;
  *bits = subdevice->values;
  return 0;
}
}

namespace {

const zep::BoardFile* accepted_file = nullptr;

}  // namespace

const zep::BoardFile* zep::LoadedBoard() { return accepted_file; }

namespace {

constexpr unsigned int kLines = 0x3C5A96;  // ports C, B and A of a 24-line board
constexpr Subdevice kChip = {COMEDI_SUBD_DIO, 24, true, 0, kLines};
constexpr Subdevice kAnalog = {COMEDI_SUBD_AI, 8, false, 0, 0};

// A node by its letter: absent, unattached, denied; an 8255, one after a
// run under 137, a card of two; a board that sets its lines one by one, its
// port C and half of B outputs; a printer port; a Velleman K8055; a board
// with no digital input.
Node BoardOf(char letter) {
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
  const char* nodes;  // /dev/comedi0 on, a letter each, as BoardOf reads them
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
      nodes[number_after(" on /dev/comedi")].subdevices[number_after(" of subdevice ")];
  char text[128];
  std::snprintf(text, sizeof text, "byte 0x%02x, words%s, outputs 0x%x, made 0x%x%s",
                static_cast<unsigned int>(byte), read.words, read.outputs, read.ever_outputs,
                lines.c_str());
  return text;
}

// The row's boards and board file, given to the device as if read at load.
std::string Accept(const ComediCase& row, zep::BoardFile* file, bool* accepted) {
  for (int node = 0; node < stand_in::kNodes; ++node) {
    nodes[node] =
        BoardOf(row.nodes[std::min(static_cast<std::size_t>(node), std::strlen(row.nodes))]);
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
      {"8 lines", "p", "", "of subdevice 0 (8 lines of digital I/O)",
       "byte 0x96, words, outputs 0x0, made 0x0"},
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

// A board detached while it is read: one line, and FF for every reading.
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
    nodes[0].subdevices[0].gone = true;
    OpenPort(888);
    for (int reading = 0; reading < 3; ++reading) EXPECT_EQ(ReadPort(888), 0xFF);
    ClosePort();
  };
  EXPECT_EQ(scratch::StderrOf(run), line + "\n");
}

}  // namespace
