#include "driver/driver_line.h"

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

}  // namespace

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, as every driver line is formatted
void WriteDriverLine(const char* format, ...) {
  char line[kLineSize];
  std::memcpy(line, kPrefix, kPrefixLength);
  va_list arguments;
  va_start(arguments, format);
  // One byte is kept back for the line feed, which ends even a text cut short.
  const int text =
      std::vsnprintf(line + kPrefixLength, sizeof line - kPrefixLength - 1, format, arguments);
  va_end(arguments);
  const std::size_t end = kPrefixLength + std::min(static_cast<std::size_t>(std::max(text, 0)),
                                                   sizeof line - kPrefixLength - 2);
  line[end] = '\n';
  // Nothing is left to do if standard error is gone.
  [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, line, end + 1);
}

}  // namespace zep
