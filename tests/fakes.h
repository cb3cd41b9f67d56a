// Fakes of the driver, the console, the sleep and the privilege, linked in
// place of the real ones. Every call the run makes lands in one log, in order,
// so a test sees the messages and the driver calls interleaved exactly as they
// happened.
#ifndef BCDMON_TESTS_FAKES_H_
#define BCDMON_TESTS_FAKES_H_

#include <string>
#include <vector>

namespace fake {

struct World {
  // Set by the test.
  int open_result = 1;
  std::vector<int> reads{0};  // ReadPort's results in turn, repeated when used up
  int key_on_call = 1;        // KeyPending answers true from this call on (1-based)
  // GiveUpPrivilege fails.
  bool privilege_kept = false;

  // Seen by the test.
  std::vector<std::string> calls;  // "OpenPort(888)", "print:<text>", ...
  std::string output;              // everything printed, in order
  int key_checks = 0;
  std::size_t next_read = 0;
};

World& world();
void Reset();

}  // namespace fake

#endif  // BCDMON_TESTS_FAKES_H_
