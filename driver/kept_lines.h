// Lines on standard error kept back while the program's line waits on the
// screen. The program announces a call ("Opening Port...") and shows its
// outcome ("Failed") on one line; where standard error is the same terminal,
// a line written during the call would split the two. Such a line is kept
// and written later, on a line of its own. Whatever links this has its own
// lines: the program and each driver.
#ifndef BCDMON_DRIVER_KEPT_LINES_H_
#define BCDMON_DRIVER_KEPT_LINES_H_

#include <cstddef>

namespace zep {

// True where standard output and standard error are one terminal.
bool ShareATerminal();

// Keeps `size` bytes of whole lines, each ending in a line feed. Lines that
// find no room left are written at once, after those kept before.
void KeepLines(const char* lines, std::size_t size);

// Writes the kept lines in one write, after a line feed, so that they start
// on a line of their own. Amid the readings, which each start a line of
// their own, the last line feed is left out. The lines still kept as the
// process ends are written then, after the program's last message.
void WriteKeptLines(bool amid_readings);

}  // namespace zep

#endif  // BCDMON_DRIVER_KEPT_LINES_H_
