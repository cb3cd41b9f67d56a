// The benchmark's second baseline: the system calls of one pass of bcdmon and
// nothing else. Each pass writes 18 bytes to standard output, sleeps 1 ms with
// the least timer slack and asks the controlling terminal how many bytes wait,
// until a key is typed. The key is left where it is and the terminal's mode
// is put back.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <ctime>

namespace {

constexpr char kLine[] = "\nUnpacked BCD : 42";  // one reading's 18 bytes
constexpr unsigned long kLeastTimerSlackNs = 1;

}  // namespace

int main() {
  prctl(PR_SET_TIMERSLACK, kLeastTimerSlackNs, 0UL, 0UL, 0UL);
  const int terminal = open("/dev/tty", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (terminal < 0) return 2;
  termios saved{};
  if (tcgetattr(terminal, &saved) != 0) return 2;
  termios keys = saved;  // a key counts as waiting without Enter
  keys.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  tcsetattr(terminal, TCSANOW, &keys);

  int waiting = 0;
  while (waiting == 0) {
    const ssize_t written = write(STDOUT_FILENO, kLine, sizeof kLine - 1);
    static_cast<void>(written);
    timespec pause{0, 1000000L};
    clock_nanosleep(CLOCK_MONOTONIC, 0, &pause, nullptr);
    if (ioctl(terminal, FIONREAD, &waiting) != 0) waiting = 0;
  }
  tcsetattr(terminal, TCSANOW, &saved);
  close(terminal);
  return 1;
}
