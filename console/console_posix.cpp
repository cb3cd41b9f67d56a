// The console on a POSIX terminal.
//
// Output: on a character device (a terminal, /dev/null, a printer) every
// message goes out in one write as it is printed, so an announcement without a
// line end is on the screen while the driver works; anywhere else (a file, a
// pipe) a 4096-byte buffer collects the text, and what it holds is written
// before a signal from outside (SIGINT, SIGTERM, SIGALRM, ...: any but a
// fault, SIGPIPE and SIGXFSZ) ends the process, with a terminal or without.
//
// Key check: the controlling terminal, /dev/tty, in non-canonical mode without
// echo or flow control, asked how many bytes wait (FIONREAD) and never read, so
// the key that ends the run is still there for the shell. The user's mode is
// put back at exit and from every signal that ends or stops the process, a
// fault in the driver included, but only while the terminal is still in the
// mode set here: a program sharing the terminal (`bcdmon | less`) that changed
// it since owns what it holds.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>

#include "console/console.h"

namespace {

// What a file or a pipe gets per write: PIPE_BUF, which a pipe with room
// takes whole without waiting.
constexpr std::size_t kBufferSize = 4096;

// A reader that makes no room is asked again at this pace, so that a signal
// noted meanwhile is seen.
constexpr int kRoomPollMs = 100;
// How long the last write waits for room as a signal ends the process, in all.
constexpr long kLastWriteWaitMs = 1000;

// ---- Output ---------------------------------------------------------------

enum class Sink { kNotYetKnown, kEachMessage, kBuffered };

Sink sink = Sink::kNotYetKnown;
bool output_may_wait = false;  // a reader may hold the writes up: a pipe, a socket
char message[kBufferSize];     // the text of one print call
// The text not yet written, when buffered: less than kBufferSize between
// messages. A message that fills the buffer is copied whole before the write,
// hence the room for two.
char pending[2 * kBufferSize];
std::size_t pending_size = 0;
std::size_t pending_written = 0;  // of pending_size, from the front

// While the buffered output code runs, `pending` may be half updated (above
// all in the moment after a write returned, before its count is added), so
// the handler of SIGHUP, SIGINT, SIGQUIT and SIGTERM only notes the signal,
// and the output code ends the process with it once `pending` is whole.
volatile sig_atomic_t output_busy = 0;
volatile sig_atomic_t deferred_signal = 0;

void EndBySignal(int signal_number);

// A parent may leave standard output non-blocking (O_NONBLOCK is shared with
// whoever holds the same open file). A full pipe or terminal then refuses the
// rest of a message rather than making the write wait; waiting here instead
// loses nothing, as a blocking write would not. False when poll fails.
bool WaitUntilWritable() {
  pollfd output{STDOUT_FILENO, POLLOUT, 0};
  for (;;) {
    if (poll(&output, 1, -1) >= 0) return true;
    if (errno != EINTR) return false;
  }
}

// Errors are not reported: there is nowhere to report them, and the run goes
// on whether or not anyone reads its output. Slow output is no error: what it
// cannot take yet is written once it can.
void WriteAll(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(STDOUT_FILENO, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitUntilWritable()) continue;
    if (written <= 0) return;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

void EnterOutput() {
  output_busy = 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

// A signal noted meanwhile ends the process now, `pending` being whole; busy
// again for that, so that one more signal is only noted.
void LeaveOutput() {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  output_busy = 0;
  if (deferred_signal != 0) {
    EnterOutput();
    EndBySignal(deferred_signal);
  }
}

// False when a wait of `milliseconds` brought no room, or a signal came.
bool RoomWithin(int milliseconds) {
  pollfd output{STDOUT_FILENO, POLLOUT, 0};
  const int ready = poll(&output, 1, milliseconds);
  return ready > 0 || (ready < 0 && errno != EINTR);  // a failed poll leaves it to the write
}

// True while a failed write may be tried again.
bool WriteFailedForNow(ssize_t written) {
  return written < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK);
}

// Writes `pending` up to `end` as the run goes, unless a signal is noted. A
// write that can wait for the reader is made only once a poll saw room: a
// signal noted just before a write that then waited for ever would never be
// seen. A regular file has no reader to wait for, and costs no poll. Text
// that cannot be written is dropped.
void WritePendingUpTo(std::size_t end) {
  while (pending_written < end && deferred_signal == 0) {
    if (output_may_wait && !RoomWithin(kRoomPollMs)) continue;
    const ssize_t written = write(STDOUT_FILENO, pending + pending_written, end - pending_written);
    if (written > 0) {
      pending_written += static_cast<std::size_t>(written);
    } else if (!WriteFailedForNow(written)) {
      pending_written = end;
    }
  }
}

long NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

// As a signal ends the process: the rest of `pending`, each write after a
// poll saw room, and no more than a pipe with room takes without waiting. A
// reader that makes no room in about a second, or that is gone, gets no more.
// Only async-signal-safe calls.
void WritePendingBeforeTheEnd() {
  const long give_up = NowMs() + kLastWriteWaitMs;
  while (pending_written < pending_size) {
    const long left = give_up - NowMs();
    if (left <= 0) return;
    pollfd output{STDOUT_FILENO, POLLOUT, 0};
    const int ready = poll(&output, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || (output.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return;
    const std::size_t size = std::min(pending_size - pending_written, kBufferSize);
    const ssize_t written = write(STDOUT_FILENO, pending + pending_written, size);
    if (written > 0) {
      pending_written += static_cast<std::size_t>(written);
    } else if (!WriteFailedForNow(written)) {
      return;
    }
  }
}

// A message is copied whole before the buffer is written, so a signal during
// the write finds it whole in `pending`. The buffer goes out in full pieces,
// the rest moving to the front.
void Buffer(const char* text, std::size_t size) {
  std::memcpy(pending + pending_size, text, size);
  pending_size += size;
  if (pending_size < kBufferSize) return;
  WritePendingUpTo(kBufferSize);
  if (deferred_signal != 0) return;
  pending_size -= kBufferSize;
  std::memmove(pending, pending + kBufferSize, pending_size);
  pending_written = 0;
}

void FlushOutput() {
  EnterOutput();
  WritePendingUpTo(pending_size);
  if (deferred_signal == 0) pending_size = pending_written = 0;
  LeaveOutput();
}

// A standard descriptor left closed by the parent (`bcdmon >&-`) would be
// handed to the next file opened, the terminal of the key check or a file of
// the driver's, and the messages would be written into it. /dev/null takes
// the place first; open gives the lowest free number, and the lower ones are
// open by then.
void FillClosedStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) open("/dev/null", O_RDWR);
  }
}

// ---- Terminal mode --------------------------------------------------------

int terminal = -1;
bool open_tried = false;
bool mode_saved = false;
termios saved_mode;       // the user's, put back on every way out
termios monitoring_mode;  // keys readable at once, not echoed, no flow control

// The mode the terminal holds once set to monitoring_mode, which it may have
// adjusted (POSIX lets it keep what it cannot do): read back after each set,
// by the key check and by the handler of SIGCONT, into the slot not in use,
// so that a comparison never reads a half-written one. Until the first read
// back, both hold what was asked for.
termios taken_modes[2];
volatile sig_atomic_t taken_slot = 0;

// Shared with the signal handlers. `monitoring`: the terminal is ours from the
// first key check until ConsoleClose. `mode_active`: the monitoring mode is on
// the terminal now. Each is set before the change it guards and cleared after,
// so a handler that runs in between restores once too often, never too few.
volatile sig_atomic_t monitoring = 0;
volatile sig_atomic_t mode_active = 0;

// Every signal whose default action ends the process, with a core dump or
// without: sent from outside, or a fault while the driver runs. The real-time
// signals join at run time, since SIGRTMIN leaves out those the C library
// keeps for itself. SIGKILL and SIGSTOP cannot be caught.
constexpr int kEndingSignals[] = {SIGHUP,  SIGINT,  SIGQUIT,   SIGILL,  SIGTRAP, SIGABRT,
                                  SIGBUS,  SIGFPE,  SIGUSR1,   SIGSEGV, SIGUSR2, SIGPIPE,
                                  SIGALRM, SIGTERM, SIGSTKFLT, SIGXCPU, SIGXFSZ, SIGVTALRM,
                                  SIGPROF, SIGIO,   SIGPWR,    SIGSYS};

// What the process's own doing raises: a fault, a write to a pipe that nobody
// reads, a file grown past its limit. Writing more helps nothing then, or
// cannot work, so these end the process at once. Every other signal above
// asks the run to end from outside (the terminal's keys, kill, timeout, a
// timer, a hang-up), and the output buffer is written before it does.
constexpr int kOwnDoing[] = {SIGILL,  SIGTRAP, SIGABRT, SIGBUS, SIGFPE,
                             SIGSEGV, SIGSYS,  SIGPIPE, SIGXFSZ};

bool IsTerminationRequest(int signal_number) {
  return std::find(std::begin(kOwnDoing), std::end(kOwnDoing), signal_number) ==
         std::end(kOwnDoing);
}

template <typename Take>
void ForEachEndingSignal(Take take) {
  for (const int signal_number : kEndingSignals) take(signal_number);
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
    take(signal_number);
  }
}

// A driver that overflows its stack faults with no stack left to run a
// handler on, so the handlers have one of their own. 64 KiB is ample for the
// few calls they make, under the sanitizers too, and well above the signal
// frame of the largest register state.
constexpr std::size_t kSignalStackSize = std::size_t{64} * 1024;
alignas(16) char signal_stack[kSignalStackSize];

bool InForeground() { return tcgetpgrp(terminal) == getpgrp(); }

void SetMode(const termios& mode) {
  while (tcsetattr(terminal, TCSANOW, &mode) != 0 && errno == EINTR) {
  }
}

// Compared field by field, as the padding and the C library's spare fields of
// termios are nobody's settings.
bool IsMonitoringMode(const termios& mode) {
  const termios& taken = taken_modes[taken_slot];
  return mode.c_iflag == taken.c_iflag && mode.c_oflag == taken.c_oflag &&
         mode.c_cflag == taken.c_cflag && mode.c_lflag == taken.c_lflag &&
         mode.c_cc[VMIN] == taken.c_cc[VMIN] && mode.c_cc[VTIME] == taken.c_cc[VTIME];
}

void SetMonitoringMode() {
  SetMode(monitoring_mode);
  const int next = 1 - taken_slot;
  if (tcgetattr(terminal, &taken_modes[next]) != 0) taken_modes[next] = monitoring_mode;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  taken_slot = next;
}

// Only while the terminal is in the monitoring mode. Another program on it
// (`bcdmon | less`) may have set its own mode since, and then that program
// puts back what it found: putting back ours would undo that, or leave the
// shell with the other's mode, whichever of the two started first.
// TCSANOW, not TCSAFLUSH: the key that ended the run stays for the shell.
// tcgetattr and tcsetattr are safe in a signal handler.
void RestoreSavedMode() {
  if (mode_active == 0) return;
  termios current{};
  if (tcgetattr(terminal, &current) == 0 && IsMonitoringMode(current)) SetMode(saved_mode);
  mode_active = 0;
}

// The handlers of the termination requests run one at a time, so the buffer
// is written once; and without SA_RESTART, so that a write held up by a full
// pipe returns when one of them is noted.
void SetHandler(int signal_number, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART | SA_ONSTACK;
  if (IsTerminationRequest(signal_number)) {
    ForEachEndingSignal([&action](int other) {
      if (IsTerminationRequest(other)) sigaddset(&action.sa_mask, other);
    });
    action.sa_flags = SA_ONSTACK;
  }
  sigaction(signal_number, &action, nullptr);
}

// Writes what the buffer holds where the signal asks for it, puts the user's
// mode back, then lets the signal end the process as it would have, so the
// parent sees the true cause and a core is dumped where the signal dumps one.
// Only async-signal-safe calls: it may interrupt anything, the driver in the
// middle of a fault included. From a handler the raised signal is blocked
// until the handler returns; from the output code it ends the process at once.
void EndBySignal(int signal_number) {
  if (IsTerminationRequest(signal_number)) WritePendingBeforeTheEnd();
  RestoreSavedMode();
  SetHandler(signal_number, SIG_DFL);
  raise(signal_number);
}

// A fault is raised again here rather than left to recur, so the faulting
// instruction never runs twice: the pending signal ends the process as the
// handler returns, with the registers of the fault.
void OnEndingSignal(int signal_number) {
  const int saved_errno = errno;
  if (output_busy != 0 && IsTerminationRequest(signal_number)) {
    deferred_signal = signal_number;
  } else {
    EndBySignal(signal_number);
  }
  errno = saved_errno;
}

// Ctrl-Z: the shell we stop into must echo as usual.
void OnStop(int signal_number) {
  const int saved_errno = errno;
  RestoreSavedMode();
  SetHandler(signal_number, SIG_DFL);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, signal_number);
  sigprocmask(SIG_UNBLOCK, &stop, nullptr);
  raise(signal_number);  // the process stops here until it is continued
  // cppcheck-suppress unreachableCode ; raise returns once the process goes on
  SetHandler(signal_number, OnStop);
  errno = saved_errno;
}

// Continued: in the foreground the monitoring mode goes back on; in the
// background the terminal belongs to the shell, and the key check waits until
// the run is brought back.
void OnContinue(int /*signal_number*/) {
  const int saved_errno = errno;
  if (monitoring != 0) {
    if (InForeground()) {
      mode_active = 1;
      SetMonitoringMode();
    } else {
      mode_active = 0;
    }
  }
  errno = saved_errno;
}

// A signal the process was told to ignore (nohup, a background job of a
// shell without job control) stays ignored.
void HandleUnlessIgnored(int signal_number, void (*handler)(int)) {
  struct sigaction current {};
  sigaction(signal_number, nullptr, &current);
  if (current.sa_handler != SIG_IGN) SetHandler(signal_number, handler);
}

void UseSignalStack() {
  stack_t stack{};
  stack.ss_sp = signal_stack;
  stack.ss_size = sizeof signal_stack;
  sigaltstack(&stack, nullptr);
}

// A file or a pipe keeps what the run wrote only once it is written, so
// these handlers come with the buffer, with a terminal or without.
void HandleTerminationRequests() {
  ForEachEndingSignal([](int signal_number) {
    if (IsTerminationRequest(signal_number)) HandleUnlessIgnored(signal_number, OnEndingSignal);
  });
}

void InstallSignalHandlers() {
  UseSignalStack();
  ForEachEndingSignal(
      [](int signal_number) { HandleUnlessIgnored(signal_number, OnEndingSignal); });
  HandleUnlessIgnored(SIGTSTP, OnStop);
  SetHandler(SIGCONT, OnContinue);
}

// The user's mode is saved the first time the run owns the terminal in the
// foreground; in the background the mode on it is the shell's, and changing
// it would stop the process (SIGTTOU).
bool EnterMonitoringMode() {
  if (!InForeground()) return false;
  if (!mode_saved) {
    if (tcgetattr(terminal, &saved_mode) != 0) return false;
    monitoring_mode = saved_mode;
    // Without ICANON a key counts as waiting at once rather than after
    // Enter; ISIG stays, so the interrupt key still ends the process.
    monitoring_mode.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    // Without IXON, Ctrl-S and Ctrl-Q are keys like any other: the terminal
    // would take them for itself, and Ctrl-S would stop the output until
    // Ctrl-Q, with the run held in its write and no key to end it.
    monitoring_mode.c_iflag &= static_cast<tcflag_t>(~IXON);
    monitoring_mode.c_cc[VMIN] = 1;
    monitoring_mode.c_cc[VTIME] = 0;
    taken_modes[0] = monitoring_mode;
    taken_modes[1] = monitoring_mode;
    mode_saved = true;
    InstallSignalHandlers();
  }
  mode_active = 1;
  SetMonitoringMode();
  return true;
}

// Keys typed while another program on the terminal holds it in a mode of its
// own (`bcdmon | less`, less started second) are that program's. Ending the
// run on one would leave that program to put back, at its end, the monitoring
// mode it found. Asked only when something waits, so a pass costs no more.
bool KeysAreOurs() {
  termios current{};
  return tcgetattr(terminal, &current) != 0 || IsMonitoringMode(current);
}

// A character device, a terminal or not, shows or takes each message as it
// comes; a file or a pipe is read later, and one write of a full buffer costs
// less than a write per message.
void ChooseSink() {
  FillClosedStandardDescriptors();
  struct stat output {};
  const bool known = fstat(STDOUT_FILENO, &output) == 0;
  if (known && S_ISCHR(output.st_mode)) {
    sink = Sink::kEachMessage;
    return;
  }
  sink = Sink::kBuffered;
  output_may_wait = !known || !S_ISREG(output.st_mode);
  HandleTerminationRequests();
}

void OpenTerminal() {
  open_tried = true;
  terminal = open("/dev/tty", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (terminal >= 0) monitoring = 1;
}

}  // namespace

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, as the run's messages are written
void ConsolePrint(const char* format, ...) {
  if (sink == Sink::kNotYetKnown) ChooseSink();
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(message, sizeof message, format, arguments);
  va_end(arguments);
  if (length <= 0) return;
  const std::size_t size = std::min(static_cast<std::size_t>(length), sizeof message - 1);
  if (sink == Sink::kEachMessage) {
    WriteAll(message, size);
  } else {
    EnterOutput();
    Buffer(message, size);
    LeaveOutput();
  }
}

bool KeyPending() {
  if (!open_tried) OpenTerminal();
  if (terminal < 0) return false;
  if (mode_active == 0 && !EnterMonitoringMode()) return false;
  int waiting = 0;
  if (ioctl(terminal, FIONREAD, &waiting) != 0 || waiting <= 0) return false;
  return KeysAreOurs();
}

void ConsoleClose() {
  FlushOutput();
  if (terminal < 0) return;
  monitoring = 0;
  RestoreSavedMode();
  close(terminal);
  terminal = -1;
}
