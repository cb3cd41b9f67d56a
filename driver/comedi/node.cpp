// The node the comedi device opens. The board file may name one; where it
// does not, the device looks at every node comedi can have and takes the
// one attached to a board it can read, as most machines have one: a board
// at an I/O base attached by hand to a legacy node, or a PCI or USB card,
// which the kernel attaches at the first node after the legacy ones.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/block.h"
#include "driver/comedi/device.h"
#include "driver/driver_line.h"

namespace zep {

namespace {

constexpr char kNodeGroup[] = "iocard";  // the group libcomedi0's udev rule gives the nodes
constexpr char kNodePrefix[] = "/dev/comedi";
constexpr int kLegacyNodes = 4;  // as many as the advice asks comedi to make, at the least
constexpr int kMostLegacyNodes = 16;
constexpr int kNameSize = 64;  // for a board's name in a line
constexpr char kEveryBoot[] = "(at every boot: bcdmon(1), COMEDI DEVICE)";
// How a user finds the node of a card the kernel attached by itself.
constexpr char kCardAdvice[] =
    "for a PCI or USB card, its comedi driver makes a node once the card is there (sudo modprobe "
    "8255_pci, ni_usb6501 or vmk80xx: the card's own), and /proc/comedi names it";

// What each node holds, as the search found it.
struct Survey {
  int readable[kNodes];  // attached to a board with a subdevice to read
  char board[kNodes][kNameSize];
  int readable_count;
  int unreadable[kNodes];  // attached to a board with none
  int unreadable_count;
  int denied[kNodes];  // the user may not open them
  int denied_count;
  int denied_error;
};

void NodeName(int number, char* node, std::size_t size) {
  std::snprintf(node, size, "%s%d", kNodePrefix, number);
}

// Returns how many nodes the advice asks comedi to make for boards attached
// by hand: enough for the node named, as /dev/comediN is the N+1th.
int LegacyNodesFor(const char* node) {
  if (std::strncmp(node, kNodePrefix, sizeof kNodePrefix - 1) != 0) return kLegacyNodes;
  char* end = nullptr;
  const long number = std::strtol(node + sizeof kNodePrefix - 1, &end, 10);
  return *end == '\0' && number >= kLegacyNodes && number < kMostLegacyNodes
             ? static_cast<int>(number) + 1
             : kLegacyNodes;
}

// Says who may open the node, and the step that lets the user in: joining
// the node's group, where its mode lets the group in, or else the udev rule
// that gives it one.
void AdvisePermission(const char* node, char* advice, std::size_t size) {
  struct stat status {};
  if (stat(node, &status) != 0) {
    advice[0] = '\0';
    return;
  }
  const group* const owner = getgrgid(status.st_gid);
  if (status.st_gid == 0 || (status.st_mode & (S_IRGRP | S_IWGRP)) != (S_IRGRP | S_IWGRP)) {
    std::snprintf(advice, size,
                  "; its mode (%04o, group %s) lets root alone open it: libcomedi0's udev rule "
                  "gives the comedi nodes to the group %s: sudo udevadm trigger "
                  "--subsystem-match=comedi, then sudo adduser $USER %s and log in again",
                  static_cast<unsigned int>(status.st_mode & 07777),
                  owner != nullptr ? owner->gr_name : "root", kNodeGroup, kNodeGroup);
  } else if (group_member(status.st_gid) != 0) {
    std::snprintf(advice, size,
                  ", although the program runs in its group: a security module refused it (see "
                  "the kernel's log)");
  } else if (owner != nullptr) {
    std::snprintf(advice, size,
                  "; it opens for its group %s: sudo adduser $USER %s, then log in again",
                  owner->gr_name, owner->gr_name);
  } else {
    std::snprintf(advice, size, "; it opens for its group, gid %u: join it, then log in again",
                  static_cast<unsigned int>(status.st_gid));
  }
}

void ReportNoBoard(const BoardFile& file) {
  char first[sizeof kNodePrefix + 2];
  NodeName(0, first, sizeof first);
  WriteDriverLine(
      "%sno board is attached to %s to %s%d: %s; for a board at an I/O base, attach it: sudo "
      "modprobe comedi comedi_num_legacy_minors=%d && sudo modprobe 8255 && sudo comedi_config "
      "%s 8255 0x%x %s",
      kDevice, first, kNodePrefix, kNodes - 1, kCardAdvice, kLegacyNodes, first, AttachBase(file),
      kEveryBoot);
}

void ReportDenied(const Survey& survey) {
  char nodes[kNodes * (sizeof kNodePrefix + 8)] = "";
  char node[sizeof kNodePrefix + 2];
  for (int index = 0; index < survey.denied_count; ++index) {
    NodeName(survey.denied[index], node, sizeof node);
    AppendListed(nodes, sizeof nodes, index, survey.denied_count, node);
  }
  char advice[2 * PATH_MAX] = "";
  if (survey.denied_error == EACCES || survey.denied_error == EPERM) {
    NodeName(survey.denied[0], node, sizeof node);
    AdvisePermission(node, advice, sizeof advice);
  }
  WriteDriverLine("%scannot open %s: %s%s", kDevice, nodes, std::strerror(survey.denied_error),
                  advice);
}

void ReportSeveral(const Survey& survey, const BoardFile& file) {
  char boards[kNodes * (sizeof kNodePrefix + kNameSize + 8)] = "";
  for (int index = 0; index < survey.readable_count; ++index) {
    char item[sizeof kNodePrefix + kNameSize + 8];
    std::snprintf(item, sizeof item, "%s%d (%s)", kNodePrefix, survey.readable[index],
                  survey.board[index]);
    AppendListed(boards, sizeof boards, index, survey.readable_count, item);
  }
  WriteDriverLine("%s%d boards can be read, on %s: name one in %s, as comedi = %s%d", kDevice,
                  survey.readable_count, boards, file.name, kNodePrefix, survey.readable[0]);
}

// Opens each node in turn, and sorts those that open by what they hold.
// Nodes that do not exist, or are attached to no board, hold nothing.
void SurveyNodes(const BoardFile& file, Survey* survey) {
  for (int number = 0; number < kNodes; ++number) {
    char node[sizeof kNodePrefix + 2];
    NodeName(number, node, sizeof node);
    comedi_t* const device = comedi_open(node);
    if (device == nullptr) {
      const int error = comedi_errno();
      if (error == ENOENT || error == ENODEV) continue;
      if (survey->denied_count == 0) survey->denied_error = error;
      survey->denied[survey->denied_count++] = number;
      continue;
    }
    if (ReadableSubdevice(device, file.subdevice) >= 0) {
      const char* const board = comedi_get_board_name(device);
      std::snprintf(survey->board[survey->readable_count], kNameSize, "%s",
                    board != nullptr ? board : "a board");
      survey->readable[survey->readable_count++] = number;
    } else {
      survey->unreadable[survey->unreadable_count++] = number;
    }
    comedi_close(device);
  }
}

// Says why no node was found: where one node holds a board, what that
// board lacks, as it would be said of the node named.
void ReportNoneFound(const Survey& survey, const BoardFile& file) {
  if (survey.unreadable_count != 1) {
    ReportNoBoard(file);
    return;
  }
  char node[sizeof kNodePrefix + 2];
  NodeName(survey.unreadable[0], node, sizeof node);
  comedi_t* const device = comedi_open(node);
  if (device == nullptr) {
    ReportNoDevice(node, comedi_errno(), file);
    return;
  }
  ReportUnreadable(device, node, file);
  comedi_close(device);
}

// Finds the one node with a board to read, or says why there is not one.
bool FindNode(const BoardFile& file, Source* source) {
  Survey survey{};
  SurveyNodes(file, &survey);
  if (survey.denied_count > 0) {
    ReportDenied(survey);
    return false;
  }
  if (survey.readable_count > 1) {
    ReportSeveral(survey, file);
    return false;
  }
  if (survey.readable_count == 0) {
    ReportNoneFound(survey, file);
    return false;
  }
  NodeName(survey.readable[0], source->node, sizeof source->node);
  source->found = true;
  return true;
}

}  // namespace

unsigned int AttachBase(const BoardFile& file) {
  return static_cast<unsigned int>(file.base != kAtAddress ? file.base : kProgramAddress);
}

void AppendListed(char* text, std::size_t size, int index, int count, const char* item) {
  const std::size_t used = std::strlen(text);
  const char* const separator = index == 0 ? "" : index == count - 1 ? " and " : ", ";
  std::snprintf(text + used, size - used, "%s%s", separator, item);
}

void ReportNoDevice(const char* node, int error, const BoardFile& file) {
  if (error == ENOENT) {
    WriteDriverLine(
        "%sno %s: %s; for a board at an I/O base, attach it: sudo modprobe comedi "
        "comedi_num_legacy_minors=%d && sudo modprobe 8255 && sudo comedi_config %s 8255 0x%x %s",
        kDevice, node, kCardAdvice, LegacyNodesFor(node), node, AttachBase(file), kEveryBoot);
  } else if (error == ENODEV) {
    WriteDriverLine(
        "%s%s is attached to no board: a PCI or USB card has a node of its own, which "
        "/proc/comedi names (comedi = /dev/comediN in %s); for a board at an I/O base, attach "
        "it: sudo comedi_config %s 8255 0x%x %s",
        kDevice, node, file.name, node, AttachBase(file), kEveryBoot);
  } else if (error == EACCES || error == EPERM) {
    char advice[2 * PATH_MAX];
    AdvisePermission(node, advice, sizeof advice);
    WriteDriverLine("%scannot open %s: %s%s", kDevice, node, std::strerror(error), advice);
  } else {
    WriteDriverLine("%scannot open %s: %s", kDevice, node, std::strerror(error));
  }
}

bool OpenNode(const BoardFile& file, Source* source) {
  source->found = false;
  if (file.comedi[0] != '\0') {
    std::snprintf(source->node, sizeof source->node, "%s", file.comedi);
  } else if (!FindNode(file, source)) {
    return false;
  }
  source->device = comedi_open(source->node);
  if (source->device == nullptr) {
    ReportNoDevice(source->node, comedi_errno(), file);
    return false;
  }
  const int subdevice = ReadableSubdevice(source->device, file.subdevice);
  if (subdevice < 0) {
    ReportUnreadable(source->device, source->node, file);
    comedi_close(source->device);
    source->device = nullptr;
    return false;
  }
  source->subdevice = static_cast<unsigned int>(subdevice);
  return true;
}

}  // namespace zep
