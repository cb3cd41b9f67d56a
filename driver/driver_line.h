// The lines a driver writes to standard error. Each begins with the
// library's name, so that a user can tell them from the program's own, and
// goes out in one write, so that another process's output cannot split it.
#ifndef BCDMON_DRIVER_DRIVER_LINE_H_
#define BCDMON_DRIVER_DRIVER_LINE_H_

#include <cstddef>

namespace zep {

// Formats "libzepdriver: ", the text and a line feed into `line`. A text
// too long for `size` is cut short, and the line still ends in a line feed.
void FormatDriverLine(char* line, std::size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Formats the line as FormatDriverLine does and writes it to standard error.
// The write goes straight to the file descriptor: the loader runs the
// drivers' constructors, which write too, before stdio may be ready.
void WriteDriverLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace zep

#endif  // BCDMON_DRIVER_DRIVER_LINE_H_
