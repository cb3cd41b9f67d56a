// The simulated device says what it is as soon as it is loaded, before the
// program's first message, so that nobody takes its counter for a board's
// byte. On standard error, so that standard output stays the program's own.
// Linux only: the Windows console's writes are counted byte for byte.
#include <unistd.h>

namespace {

constexpr char kNotice[] =
    "libzepdriver: simulated device, no board is read: a counter of hundredths of a second\n";

// One write of the whole line, as stdio may not be ready while the loader
// runs the library's constructors. Nothing to do if it fails.
__attribute__((constructor)) void SayWhatItIs() {
  [[maybe_unused]] const ssize_t written = write(STDERR_FILENO, kNotice, sizeof kNotice - 1);
}

}  // namespace
