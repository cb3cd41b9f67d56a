// The test driver's crashes on Linux. In the asan build the sanitizers must
// not catch any of them before the program does: UBSan would report the null
// store and the division itself, so those functions are built without it;
// ASan's own fault handlers give way to the program's, as its default options
// allow.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/driver/crash.h"

namespace {

// Volatile, so that the compiler can neither see the values nor drop the
// accesses that fault.
int* volatile bad_pointer = nullptr;
volatile int one = 1;  // 1 / x is compiled without a division, x / y is not
volatile int zero = 0;
volatile int never = -1;  // a depth the recursion never reaches

__attribute__((no_sanitize("undefined"))) void StoreThroughBadPointer() { *bad_pointer = 1; }

__attribute__((noinline)) int Recurse(int depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  if (depth == never) return 0;
  return Recurse(depth + 1) + frame[0];  // not a tail call: every frame stays
}

void OverflowStack() { Recurse(0); }

// A file of no bytes, mapped for one page: the page has no data behind it.
void ReadBeyondMappedFile() {
  std::FILE* file = std::tmpfile();
  if (file == nullptr) return;
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  void* const mapped = mmap(nullptr, page, PROT_READ, MAP_SHARED, fileno(file), 0);
  if (mapped == MAP_FAILED) return;
  static_cast<void>(*static_cast<volatile char*>(mapped));
}

__attribute__((no_sanitize("undefined"))) void DivideByZero() {
  const volatile int quotient = one / zero;
  static_cast<void>(quotient);
}

void RunIllegalInstruction() { __builtin_trap(); }

void Abort() { std::abort(); }

struct Way {
  const char* name;
  void (*crash)();
};

constexpr Way kWays[] = {
    {"pointer", StoreThroughBadPointer}, {"stack", OverflowStack},
    {"bus", ReadBeyondMappedFile},       {"divide", DivideByZero},
    {"illegal", RunIllegalInstruction},  {"abort", Abort},
};

}  // namespace

namespace zeptest {

void Crash(const char* how) {
  for (const Way& way : kWays) {
    if (std::strcmp(how, way.name) == 0) way.crash();
  }
}

}  // namespace zeptest
