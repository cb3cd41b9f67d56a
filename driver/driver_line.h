// The lines a driver writes to standard error. Each begins with the
// library's name, so that a user can tell them from the program's own, and
// goes out in one write, so that another process's output cannot split it.
#ifndef BCDMON_DRIVER_DRIVER_LINE_H_
#define BCDMON_DRIVER_DRIVER_LINE_H_

namespace zep {

// Writes "libzepdriver: ", the formatted text and a line feed to standard
// error. A text too long for the line is cut short, and the line still ends
// in a line feed. The write goes straight to the file descriptor: the loader
// runs the drivers' constructors, which write too, before stdio may be
// ready.
void WriteDriverLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The same, for a line written while the program shows readings. Where
// standard error is the terminal that shows them, the line starts on a
// line of its own and ends with none, as each reading starts its own.
void WriteDriverLineAmidReadings(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Called as OpenPort and ConfigPort begin. The program has announced the
// call on its line ("Opening Port...") and shows the outcome ("Failed")
// after it; where standard error is the same terminal, a line written in
// between would split them. So from here on the lines are kept, and written
// on lines of their own once the outcome is on the screen: by
// LetKeptLinesOut, or as the process ends.
void KeepLinesBack();

// Called as ReadPort begins, the outcome being on the screen by then:
// writes the kept lines amid the readings, and keeps no more.
void LetKeptLinesOut();

}  // namespace zep

#endif  // BCDMON_DRIVER_DRIVER_LINE_H_
