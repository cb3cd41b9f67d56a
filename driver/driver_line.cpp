#include "driver/driver_line.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace zep {

namespace {

constexpr char kPrefix[] = "libzepdriver: ";
constexpr std::size_t kPrefixLength = sizeof kPrefix - 1;
// Room for the longest line a driver writes: a few paths and their advice.
constexpr std::size_t kLineSize = std::size_t{4} * PATH_MAX + 1024;

// True where standard output and standard error are one terminal.
bool ShareATerminal() {
  struct stat output {};
  struct stat error {};
  return isatty(STDOUT_FILENO) != 0 && isatty(STDERR_FILENO) != 0 &&
         fstat(STDOUT_FILENO, &output) == 0 && fstat(STDERR_FILENO, &error) == 0 &&
         output.st_rdev == error.st_rdev;
}

// Formats the line after the prefix, between `before` and `after` (each a
// line feed or nothing), and writes it in one write.
void WriteLine(bool before, bool after, const char* format, va_list arguments) {
  char line[kLineSize];
  const std::size_t start = before ? 1 : 0;
  line[0] = '\n';
  std::memcpy(line + start, kPrefix, kPrefixLength);
  const std::size_t text_start = start + kPrefixLength;
  // One byte is kept back for the line feed, which ends even a text cut short.
  const int text =
      std::vsnprintf(line + text_start, sizeof line - text_start - 1, format, arguments);
  std::size_t end = text_start + std::min(static_cast<std::size_t>(std::max(text, 0)),
                                          sizeof line - text_start - 2);
  if (after) line[end++] = '\n';
  // Nothing is left to do if standard error is gone.
  [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, line, end);
}

}  // namespace

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, as every driver line is formatted
void WriteDriverLine(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  WriteLine(false, true, format, arguments);
  va_end(arguments);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, as every driver line is formatted
void WriteDriverLineAmidReadings(const char* format, ...) {
  const bool shared = ShareATerminal();
  va_list arguments;
  va_start(arguments, format);
  WriteLine(shared, !shared, format, arguments);
  va_end(arguments);
}

}  // namespace zep
