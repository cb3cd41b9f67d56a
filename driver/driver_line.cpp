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
// Room for the longest line a driver writes: a few paths and their advice.
constexpr std::size_t kLineSize = std::size_t{4} * PATH_MAX + 1024;

void FormatArguments(char* line, std::size_t size, const char* format, va_list arguments) {
  const int prefix = std::snprintf(line, size, "%s", kPrefix);
  if (prefix < 0 || static_cast<std::size_t>(prefix) + 2 > size) return;
  const std::size_t start = static_cast<std::size_t>(prefix);
  const int text = std::vsnprintf(line + start, size - start - 1, format, arguments);
  const std::size_t end =
      text < 0 ? start : std::min(start + static_cast<std::size_t>(text), size - 2);
  line[end] = '\n';
  line[end + 1] = '\0';
}

}  // namespace

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, as every driver line is formatted
void FormatDriverLine(char* line, std::size_t size, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  FormatArguments(line, size, format, arguments);
  va_end(arguments);
}

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, as every driver line is formatted
void WriteDriverLine(const char* format, ...) {
  char line[kLineSize];
  va_list arguments;
  va_start(arguments, format);
  FormatArguments(line, sizeof line, format, arguments);
  va_end(arguments);
  // Nothing is left to do if standard error is gone.
  [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, line, std::strlen(line));
}

}  // namespace zep
