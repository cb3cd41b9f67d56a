#include "driver/driver_line.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "driver/kept_lines.h"

namespace zep {

namespace {

constexpr char kPrefix[] = "libzepdriver: ";
constexpr std::size_t kPrefixLength = sizeof kPrefix - 1;
// Room for the longest text a driver writes: a few paths and their advice.
constexpr std::size_t kTextSize = std::size_t{4} * PATH_MAX + 1024;
// A control character is shown as \xNN, four characters for one.
constexpr std::size_t kShownLength = 4;
// Room for the line: a line feed before, the prefix, the text, which grows
// fourfold where every character of it is a control character, and a line
// feed after.
constexpr std::size_t kLineSize = 1 + kPrefixLength + kShownLength * kTextSize + 1;

// While the program's line waits on the terminal for the outcome of a call,
// from KeepLinesBack to LetKeptLinesOut: lines are kept, not written.
bool keeping = false;

// Copies `length` bytes of `text` to `shown`, each control character
// (below 0x20, and 0x7f) as \xNN: a path or a file's text that holds an
// escape sequence must not reach the terminal, which would obey it (change
// its colours, move its cursor, retitle its window). Returns the length
// written, at most kShownLength times `length`.
std::size_t ShowControlCharacters(const char* text, std::size_t length, char* shown) {
  constexpr char kDigits[] = "0123456789abcdef";
  std::size_t end = 0;
  for (std::size_t at = 0; at < length; ++at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte >= 0x20 && byte != 0x7f) {
      shown[end++] = text[at];
      continue;
    }
    shown[end++] = '\\';
    shown[end++] = 'x';
    shown[end++] = kDigits[byte >> 4];
    shown[end++] = kDigits[byte & 0xf];
  }
  return end;
}

// Formats the text, and writes it after the prefix, between `before` and
// `after` (each a line feed or nothing), in one write; or keeps it, whole.
void WriteLine(bool before, bool after, const char* format, va_list arguments) {
  if (keeping) {
    before = false;
    after = true;
  }
  char text[kTextSize];
  const int formatted = std::vsnprintf(text, sizeof text, format, arguments);
  // A text too long for its buffer is cut short; the line has room for the
  // rest, its line feed included.
  const std::size_t length =
      std::min(static_cast<std::size_t>(std::max(formatted, 0)), sizeof text - 1);
  char line[kLineSize];
  std::size_t end = 0;
  if (before) line[end++] = '\n';
  std::memcpy(line + end, kPrefix, kPrefixLength);
  end += kPrefixLength;
  end += ShowControlCharacters(text, length, line + end);
  if (after) line[end++] = '\n';
  if (keeping) {
    KeepLines(line, end);
    return;
  }
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

void KeepLinesBack() { keeping = ShareATerminal(); }

void LetKeptLinesOut() {
  if (!keeping) return;
  keeping = false;
  WriteKeptLines(true);
}

}  // namespace zep
