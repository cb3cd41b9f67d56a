#include <sys/prctl.h>

#include <cerrno>
#include <ctime>

#include "monitor/pause.h"

namespace {

// Linux lets every sleep of a thread run late by its timer slack so that
// wake-ups can be merged: 50 us by default, 5 % of a 1 ms pause. One
// nanosecond is the least it grants (0 would mean "the default" again).
constexpr unsigned long kLeastTimerSlackNs = 1;

bool slack_set = false;

}  // namespace

void Pause(unsigned int milliseconds) {
  // The slack belongs to the calling thread, so it is asked for by the thread
  // that pauses, once; if refused, the pause is merely a little longer.
  if (!slack_set) {
    prctl(PR_SET_TIMERSLACK, kLeastTimerSlackNs, 0UL, 0UL, 0UL);
    slack_set = true;
  }
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
  // A signal handler (the terminal's, on Ctrl-Z and continue) may cut the
  // sleep short; the rest of it is still owed.
  while (clock_nanosleep(CLOCK_MONOTONIC, 0, &remaining, &remaining) == EINTR) {
  }
}
