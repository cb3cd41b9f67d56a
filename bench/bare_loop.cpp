// The benchmark's first baseline: 1 ms sleeps and nothing else, with the
// thread's default timer slack, as a loop that never asked for less would
// sleep. It runs until it is terminated.
#include <ctime>

int main() {
  for (;;) {
    timespec pause{0, 1000000L};
    clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
  }
}
