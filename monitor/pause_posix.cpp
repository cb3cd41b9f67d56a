#include <cerrno>
#include <ctime>

#include "monitor/pause.h"

void Sleep(unsigned int milliseconds) {
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
  // A signal handler (the terminal's, on Ctrl-Z and continue) may cut the
  // sleep short; the rest of it is still owed.
  while (clock_nanosleep(CLOCK_MONOTONIC, 0, &remaining, &remaining) == EINTR) {
  }
}
