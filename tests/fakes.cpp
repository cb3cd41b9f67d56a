#include "tests/fakes.h"

#include <cstdarg>
#include <cstdio>

#include "console/console.h"
#include "driver/port_driver.h"
#include "monitor/pause.h"
#include "monitor/privilege.h"

namespace fake {

World& world() {
  static World the_world;
  return the_world;
}

void Reset() { world() = World{}; }

}  // namespace fake

namespace {

void Record(const std::string& call) { fake::world().calls.push_back(call); }

}  // namespace

extern "C" {

int ZEP_CALL OpenPort(int address) {
  Record("OpenPort(" + std::to_string(address) + ")");
  return fake::world().open_result;
}

int ZEP_CALL ConfigPort(int address, int value) {
  Record("ConfigPort(" + std::to_string(address) + "," + std::to_string(value) + ")");
  return 0;
}

int ZEP_CALL ReadPort(int address) {
  Record("ReadPort(" + std::to_string(address) + ")");
  fake::World& w = fake::world();
  const int value = w.reads[w.next_read % w.reads.size()];
  ++w.next_read;
  return value;
}

int ZEP_CALL ClosePort(void) {
  Record("ClosePort()");
  return 0;
}
}

bool ConsolePrint(const char* format, ...) {
  char text[4096];
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  const std::string printed(text, static_cast<std::size_t>(length));
  Record("print:" + printed);
  fake::world().output += printed;
  return true;
}

bool KeyPending() {
  Record("KeyPending()");
  return ++fake::world().key_checks >= fake::world().key_on_call;
}

bool ConsoleClose() {
  Record("ConsoleClose()");
  return true;
}

void Pause(unsigned int milliseconds) { Record("Pause(" + std::to_string(milliseconds) + ")"); }

bool GiveUpPrivilege() {
  Record("GiveUpPrivilege()");
  return !fake::world().privilege_kept;
}
