// The scriptable test driver. A test sets, through the environment:
//   ZEPTEST_OPEN_RESULT  what OpenPort returns (default 1; any C integer form)
//   ZEPTEST_READS        the results of ReadPort in turn, repeated from the
//                        start when used up (default: 0 every time)
//   ZEPTEST_LOG          a file that gets one line per call with its arguments
//   ZEPTEST_HOLD         OpenPort waits until this file exists, so a test can
//                        look at the screen while the open is under way
//   ZEPTEST_CRASH        "N:how": the Nth ReadPort, counted from 1, crashes the
//                        process after its log line, in one of the ways of
//                        tests/driver/crash.h ("3:pointer", "5:abort")
// Only standard C and C++ are used, so the same file serves every platform;
// the crashes are in a file per platform.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "driver/port_driver.h"
#include "tests/driver/crash.h"

namespace {

constexpr int kMaxReads = 1024;

int reads[kMaxReads];
int read_count = -1;  // -1: not parsed yet
int next_read = 0;
int crash_at = -1;  // the reading that crashes; 0: none; -1: not parsed yet
const char* crash_how = "";
int reads_taken = 0;

int IntegerFromEnvironment(const char* name, int fallback) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return fallback;
  return static_cast<int>(std::strtol(text, nullptr, 0));
}

void ParseReads() {
  read_count = 0;
  const char* text = std::getenv("ZEPTEST_READS");
  if (text == nullptr) return;
  while (read_count < kMaxReads) {
    while (*text == ' ' || *text == ',') ++text;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 0);
    if (end == text) break;
    reads[read_count++] = static_cast<int>(value);
    text = end;
  }
}

void ParseCrash() {
  crash_at = 0;
  const char* text = std::getenv("ZEPTEST_CRASH");
  if (text == nullptr) return;
  char* end = nullptr;
  const long at = std::strtol(text, &end, 10);
  if (end == text || *end != ':') return;
  crash_at = static_cast<int>(at);
  crash_how = end + 1;
}

void Log(const char* format, int a = 0, int b = 0) {
  static std::FILE* log = nullptr;
  if (log == nullptr) {
    const char* path = std::getenv("ZEPTEST_LOG");
    if (path == nullptr || *path == '\0') return;
    log = std::fopen(path, "a");
    if (log == nullptr) return;
  }
  std::fprintf(log, format, a, b);
  std::fflush(log);  // one line per write, so a test can follow the calls as they happen
}

void WaitUntilReleased() {
  const char* path = std::getenv("ZEPTEST_HOLD");
  if (path == nullptr || *path == '\0') return;
  for (;;) {
    if (std::FILE* file = std::fopen(path, "r")) {
      std::fclose(file);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

extern "C" {

int ZEP_CALL OpenPort(int address) {
  Log("OpenPort %d\n", address);
  WaitUntilReleased();
  return IntegerFromEnvironment("ZEPTEST_OPEN_RESULT", 1);
}

int ZEP_CALL ConfigPort(int address, int value) {
  Log("ConfigPort %d %d\n", address, value);
  return 1;
}

int ZEP_CALL ReadPort(int address) {
  Log("ReadPort %d\n", address);
  if (crash_at < 0) ParseCrash();
  if (++reads_taken == crash_at) zeptest::Crash(crash_how);
  if (read_count < 0) ParseReads();
  if (read_count == 0) return 0;
  const int value = reads[next_read];
  next_read = (next_read + 1) % read_count;
  return value;
}

int ZEP_CALL ClosePort(void) {
  Log("ClosePort\n");
  return 1;
}
}
