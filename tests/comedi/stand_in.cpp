// A stand-in for comedilib, linked into the comedi device's test in place
// of the real library: the calls the device makes, on the boards of
// stand_in::nodes. Each parameter is named as comedilib.h names it.
#include "tests/comedi/stand_in.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

stand_in::Node stand_in::nodes[stand_in::kNodes];

namespace {

int last_error = 0;

stand_in::Node& NodeOf(comedi_t* it) { return *reinterpret_cast<stand_in::Node*>(it); }

stand_in::Subdevice* SubdeviceOf(comedi_t* it, unsigned int subd) {
  stand_in::Subdevice* const found = &NodeOf(it).subdevices[subd];
  if (!found->gone) return found;
  last_error = ENODEV;
  return nullptr;
}

// The lines that move with `chan`: its 8255 group, or itself alone.
unsigned int MovedWith(const stand_in::Subdevice& subdevice, unsigned int chan) {
  if (!subdevice.groups8255) return 1U << chan;
  return chan < 8 ? 0xFFU : chan < 16 ? 0xFF00U : chan < 20 ? 0xF0000U : 0xF00000U;
}

// Appends the word an 8255's driver writes for the directions.
void AppendWord(stand_in::Subdevice* subdevice) {
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
  last_error = stand_in::nodes[number].open_error;
  return last_error == 0 ? reinterpret_cast<comedi_t*>(&stand_in::nodes[number]) : nullptr;
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
  stand_in::Subdevice* const subdevice = SubdeviceOf(it, subd);
  if (subdevice == nullptr) return -1;
  const unsigned int moved = MovedWith(*subdevice, chan);
  subdevice->outputs =
      dir == COMEDI_OUTPUT ? subdevice->outputs | moved : subdevice->outputs & ~moved;
  if (dir == COMEDI_OUTPUT) subdevice->ever_outputs |= moved;
  if (subdevice->groups8255) AppendWord(subdevice);
  return 1;
}

int comedi_dio_get_config(comedi_t* it, unsigned int subd, unsigned int chan, unsigned int* dir) {
  const stand_in::Subdevice* const subdevice = SubdeviceOf(it, subd);
  if (subdevice == nullptr) return -1;
  *dir = (subdevice->outputs >> chan & 1U) != 0 ? COMEDI_OUTPUT : COMEDI_INPUT;
  return 1;
}

int comedi_dio_bitfield2(comedi_t* it, unsigned int subd, unsigned int /*write_mask*/,
                         unsigned int* bits, unsigned int /*base_channel*/) {
  const stand_in::Subdevice* const subdevice = SubdeviceOf(it, subd);
  if (subdevice == nullptr) return -1;
  *bits = subdevice->values;
  return 0;
}
}
