// A driver library that lacks ClosePort. The program is bound with every
// symbol resolved at load, so the loader must refuse to start it; the three
// operations present log each call to ZEPTEST_LOG, which shows none is made.
#include <cstdio>
#include <cstdlib>

#include "driver/port_driver.h"

namespace {

void Log(const char* line) {
  const char* path = std::getenv("ZEPTEST_LOG");
  if (path == nullptr || *path == '\0') return;
  if (std::FILE* log = std::fopen(path, "a")) {
    std::fputs(line, log);
    std::fclose(log);
  }
}

}  // namespace

extern "C" {

int ZEP_CALL OpenPort(int /*address*/) {
  Log("OpenPort\n");
  return 1;
}

int ZEP_CALL ConfigPort(int /*address*/, int /*value*/) {
  Log("ConfigPort\n");
  return 1;
}

int ZEP_CALL ReadPort(int /*address*/) {
  Log("ReadPort\n");
  return 0;
}
}
