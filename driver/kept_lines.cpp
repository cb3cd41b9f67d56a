#include "driver/kept_lines.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace zep {

namespace {

// Room for a few of the longest lines: a refusal and its advice.
constexpr std::size_t kKeptSize = 16384;

char kept[kKeptSize];  // kept[0] is the line feed that goes before the lines
std::size_t kept_size = 0;

__attribute__((destructor)) void WriteKeptLinesAtExit() { WriteKeptLines(false); }

}  // namespace

bool ShareATerminal() {
  struct stat output {};
  struct stat error {};
  return isatty(STDOUT_FILENO) != 0 && isatty(STDERR_FILENO) != 0 &&
         fstat(STDOUT_FILENO, &output) == 0 && fstat(STDERR_FILENO, &error) == 0 &&
         output.st_rdev == error.st_rdev;
}

void KeepLines(const char* lines, std::size_t size) {
  if (kept_size == 0) kept[kept_size++] = '\n';
  if (size > sizeof kept - kept_size) {
    WriteKeptLines(false);
    // Nothing is left to do if standard error is gone.
    [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, lines, size);
    return;
  }
  std::memcpy(kept + kept_size, lines, size);
  kept_size += size;
}

void WriteKeptLines(bool amid_readings) {
  if (kept_size <= 1) return;
  const std::size_t size = amid_readings ? kept_size - 1 : kept_size;
  kept_size = 0;
  [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, kept, size);
}

}  // namespace zep
