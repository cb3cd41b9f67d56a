// The real console layer. Its state lives for the whole process, so each case
// runs in a child of its own (a death test that must exit 0); a failed check
// names itself on standard error and exits 1.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "console/console.h"

namespace {

#define CHECK(condition)                                                                 \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      _exit(1);                                                                          \
    }                                                                                    \
  } while (0)

const std::string kReading = "\nUnpacked BCD : 59";

constexpr int kPatienceMs = 5000;

// What `fd` gives within `wait_ms` of the first byte not coming.
std::string Available(int fd, int wait_ms = 0) {
  std::string text;
  char chunk[8192];
  pollfd ready{fd, POLLIN, 0};
  while (poll(&ready, 1, wait_ms) == 1 && (ready.revents & POLLIN) != 0) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) break;
    text.append(chunk, static_cast<std::size_t>(n));
    wait_ms = 0;
  }
  return text;
}

// A pseudo-terminal hands bytes on through a kernel worker, so what a write
// sends arrives a moment later without any further action of the writer.
std::string Arriving(int fd, std::size_t size) {
  std::string text;
  while (text.size() < size) {
    const std::string more = Available(fd, kPatienceMs);
    if (more.empty()) break;
    text += more;
  }
  return text;
}

struct Terminal {
  int master;
  int slave;
};

// A new session whose controlling terminal is a fresh pseudo-terminal.
Terminal TakeNewTerminal() {
  CHECK(setsid() >= 0);
  Terminal terminal{};
  CHECK(openpty(&terminal.master, &terminal.slave, nullptr, nullptr, nullptr) == 0);
  CHECK(ioctl(terminal.slave, TIOCSCTTY, 0) == 0);
  return terminal;
}

bool SameMode(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// Types `key` and waits until it is readable on the terminal, which must be in
// non-canonical mode for that.
void Type(const Terminal& terminal, char key) {
  CHECK(write(terminal.master, &key, 1) == 1);
  pollfd ready{terminal.slave, POLLIN, 0};
  CHECK(poll(&ready, 1, kPatienceMs) == 1);
}

void BufferedOutputGoesOutIn4096BytePiecesAndTheRestAtClose() {
  int pipe_fds[2];
  CHECK(pipe(pipe_fds) == 0);
  fcntl(pipe_fds[1], F_SETPIPE_SZ, 1 << 16);
  CHECK(dup2(pipe_fds[1], STDOUT_FILENO) == STDOUT_FILENO);

  std::string expected;
  for (int i = 0; i < 300; ++i) {
    ConsolePrint("\nUnpacked BCD : %c%c", '5', '9');
    expected += kReading;
  }
  const std::string first = Available(pipe_fds[0]);
  CHECK(first.size() == 4096);
  ConsoleClose();
  CHECK(first + Available(pipe_fds[0]) == expected);
  _exit(0);
}

void OnATerminalEachMessageIsThereWhenPrintReturns() {
  const Terminal terminal = TakeNewTerminal();
  CHECK(dup2(terminal.slave, STDOUT_FILENO) == STDOUT_FILENO);
  ConsolePrint("\nOpening Port...");
  CHECK(Arriving(terminal.master, 17) == "\r\nOpening Port...");
  ConsolePrint("\nUnpacked BCD : %c%c", ':', '3');
  CHECK(Arriving(terminal.master, 19) == "\r\nUnpacked BCD : :3");
  _exit(0);
}

void KeyCheckSeesAKeyWithoutTakingItAndRestoresTheMode() {
  const Terminal terminal = TakeNewTerminal();
  termios before{};
  CHECK(tcgetattr(terminal.slave, &before) == 0);

  CHECK(!KeyPending());
  termios monitoring{};
  CHECK(tcgetattr(terminal.slave, &monitoring) == 0);
  CHECK((monitoring.c_lflag & (ICANON | ECHO)) == 0);
  CHECK((monitoring.c_lflag & ISIG) != 0);
  CHECK((monitoring.c_oflag & OPOST) != 0);

  Type(terminal, 'a');
  CHECK(KeyPending());
  CHECK(KeyPending());

  ConsoleClose();
  ConsoleClose();
  termios after{};
  CHECK(tcgetattr(terminal.slave, &after) == 0);
  CHECK(SameMode(before, after));

  // The key is still there for whoever reads the terminal next.
  after.c_lflag &= static_cast<tcflag_t>(~ICANON);
  CHECK(tcsetattr(terminal.slave, TCSANOW, &after) == 0);
  CHECK(Available(terminal.slave) == "a");
  _exit(0);
}

void WithoutATerminalTheKeyCheckNeverTriesAgain() {
  CHECK(setsid() >= 0);  // no controlling terminal now
  CHECK(!KeyPending());

  Terminal terminal{};
  CHECK(openpty(&terminal.master, &terminal.slave, nullptr, nullptr, nullptr) == 0);
  CHECK(ioctl(terminal.slave, TIOCSCTTY, 0) == 0);
  termios raw{};
  CHECK(tcgetattr(terminal.slave, &raw) == 0);
  raw.c_lflag &= static_cast<tcflag_t>(~ICANON);
  CHECK(tcsetattr(terminal.slave, TCSANOW, &raw) == 0);
  Type(terminal, 'a');
  CHECK(!KeyPending());
  _exit(0);
}

TEST(ConsoleOutput, BufferedOutputGoesOutIn4096BytePiecesAndTheRestAtClose) {
  EXPECT_EXIT(BufferedOutputGoesOutIn4096BytePiecesAndTheRestAtClose(),
              ::testing::ExitedWithCode(0), "");
}

TEST(ConsoleOutput, OnATerminalEachMessageIsThereWhenPrintReturns) {
  EXPECT_EXIT(OnATerminalEachMessageIsThereWhenPrintReturns(), ::testing::ExitedWithCode(0), "");
}

TEST(KeyPending, SeesAKeyWithoutTakingItAndRestoresTheMode) {
  EXPECT_EXIT(KeyCheckSeesAKeyWithoutTakingItAndRestoresTheMode(), ::testing::ExitedWithCode(0),
              "");
}

TEST(KeyPending, WithoutATerminalNeverTriesAgain) {
  EXPECT_EXIT(WithoutATerminalTheKeyCheckNeverTriesAgain(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
