// The console on a POSIX terminal.
//
// Output: on a character device (a terminal, /dev/null, a printer) every
// message goes out in one write as it is printed, so an announcement without a
// line end is on the screen while the driver works; anywhere else (a file, a
// pipe) a 4096-byte buffer collects the text, and what it holds is written
// before a signal from outside (SIGINT, SIGTERM, SIGALRM, ...: any but a
// fault, SIGPIPE and SIGXFSZ) ends the process, with a terminal or without.
// The first write that fails ends the run: ConsolePrint says so to the run,
// and one line on standard error says why. A reader that holds the output up
// (a full pipe, a terminal not shown) never keeps a key from ending the run.
//
// Key check: the controlling terminal, /dev/tty, in non-canonical mode without
// echo or flow control, asked how many bytes wait (FIONREAD) and never read, so
// the key that ends the run is still there for the shell. The user's mode is
// put back at exit and from every signal that ends or stops the process, a
// fault in the driver included, but only while the terminal is still in the
// mode set here: a program sharing the terminal (`bcdmon | less`) that changed
// it since owns what it holds. A terminal that hangs up is let go.
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
// How long a reader that holds the output up has, in all, once the run ends,
// by a key or by a signal: what it has not taken by then is dropped.
constexpr long kLastWriteWaitMs = 900;

// ---- Output ---------------------------------------------------------------

enum class Sink { kNotYetKnown, kEachMessage, kBuffered };

Sink sink = Sink::kNotYetKnown;
// Where the messages go: standard output, or, where a reader can hold the
// writes up, the same file opened anew without blocking (see OpenOwnOutput).
int output = STDOUT_FILENO;
// A reader can hold the writes up, and the output could not be opened anew:
// a poll for room comes before each write.
bool poll_first = false;
bool output_failed = false;    // a write failed: nothing more is written, and the run ends
bool output_is_file = false;   // a regular file
std::size_t line_written = 0;  // of the output's last line: the bytes after the last line feed
char message[kBufferSize];     // the text of one print call
// The text not yet written, when buffered: less than kBufferSize between
// messages. A message that fills the buffer is copied whole before the write,
// hence the room for two.
char pending[2 * kBufferSize];
std::size_t pending_size = 0;
std::size_t pending_written = 0;  // of pending_size, from the front

// While the buffered output code runs, `pending` may be half updated (above
// all in the moment after a write returned, before its count is added), so
// the handler of a termination request only notes the signal, and the output
// code ends the process with it once `pending` is whole.
volatile sig_atomic_t output_busy = 0;
volatile sig_atomic_t deferred_signal = 0;

// A key seen while a write waited for room: the run ends at its next look.
bool key_seen = false;
// Once the run ends, the time after which a reader that makes no room gets
// nothing more (0 before).
long ending_at = 0;

void EndBySignal(int signal_number);
int WatchedTerminal();
bool KeyWaits();

long NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

void StartEnding() {
  if (ending_at == 0) ending_at = NowMs() + kLastWriteWaitMs;
}

// Waits until the output has room, a while at a time, so that a signal noted
// meanwhile is seen. A key typed meanwhile is noted, and the reader then has
// until the run's end to make room. False when the wait is over without
// room: a signal was noted, or the reader's time is up.
bool WaitForRoom() {
  bool watch_keys = true;
  while (deferred_signal == 0) {
    int timeout = kRoomPollMs;
    if (ending_at != 0) {
      const long left = ending_at - NowMs();
      if (left <= 0) return false;
      timeout = static_cast<int>(std::min<long>(left, kRoomPollMs));
    }
    pollfd waits[] = {{output, POLLOUT, 0}, {watch_keys ? WatchedTerminal() : -1, POLLIN, 0}};
    const int ready = poll(waits, std::size(waits), timeout);
    // Room, or an error that the write names; a failed poll leaves it to the write too.
    if ((ready < 0 && errno != EINTR) || waits[0].revents != 0) return true;
    // Keys of another program on the terminal would wake every poll: the
    // next one waits on the output alone.
    watch_keys = waits[1].revents == 0;
    if (!watch_keys && KeyWaits()) {
      key_seen = true;
      StartEnding();
    }
  }
  return false;
}

// Notes the first failed write, which ends the run, and says why on
// standard error; but not for a reader that went away (SIGPIPE ignored), as
// tools keep quiet on a closed pipe.
void NoteFailure(int error) {
  output_failed = true;
  if (error == EPIPE) return;
  const bool full = error == ENOSPC || error == EDQUOT || error == EFBIG;
  char line[256];
  const int length = std::snprintf(
      line, sizeof line, "bcdmon: cannot write to standard output (%s), so the run ends here%s\n",
      std::strerror(error), full ? ": make room there, or send the output elsewhere" : "");
  if (length <= 0) return;
  // Nothing is left to do if standard error fails too.
  [[maybe_unused]] const ssize_t written =
      write(STDERR_FILENO, line, std::min(static_cast<std::size_t>(length), sizeof line - 1));
}

void NoteWritten(const char* data, std::size_t size) {
  const void* const last_feed = memrchr(data, '\n', size);
  line_written =
      last_feed == nullptr
          ? line_written + size
          : static_cast<std::size_t>(data + size - static_cast<const char*>(last_feed) - 1);
}

// A file that takes no more (a full disk) must not end in part of a line,
// which would read as another reading ("Unpacked BCD : 4" of "… : 42"): it is
// cut back to its last whole line. `next` is the byte that did not go out.
void CutTornLine(char next) {
  if (!output_is_file || next == '\n' || line_written == 0) return;
  const auto torn = static_cast<off_t>(line_written);
  const off_t end = lseek(output, 0, SEEK_CUR);
  if (end >= torn && ftruncate(output, end - torn) == 0) {
    line_written = 0;
  }
}

// True while a failed write may be tried again.
bool WriteFailedForNow(ssize_t written) {
  return written < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK);
}

// Writes `size` bytes from `data` and returns how many went out: fewer when a
// signal is noted, a write fails, or the run ends before a reader that held
// the output up makes room. Slow output is no error: what it cannot take yet
// is written once it can.
std::size_t WriteOut(const char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size && deferred_signal == 0 && !output_failed) {
    if (poll_first && !WaitForRoom()) break;
    const ssize_t written = write(output, data + done, size - done);
    if (written > 0) {
      if (output_is_file) NoteWritten(data + done, static_cast<std::size_t>(written));
      done += static_cast<std::size_t>(written);
    } else if (!WriteFailedForNow(written)) {
      NoteFailure(written == 0 ? EIO : errno);
      CutTornLine(data[done]);
    } else if (errno != EINTR && !WaitForRoom()) {
      break;
    }
  }
  return done;
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

// Writes `pending` up to `end`. What cannot be written is dropped, unless a
// signal was noted: that one's end writes it.
void WritePendingUpTo(std::size_t end) {
  pending_written += WriteOut(pending + pending_written, end - pending_written);
  if (deferred_signal == 0) pending_written = end;
}

// As a signal ends the process: the rest of `pending`, each write after a
// poll saw room, and no more than a pipe with room takes without waiting. A
// reader that makes no room in about a second, or that is gone, gets no more.
// Only async-signal-safe calls.
void WritePendingBeforeTheEnd() {
  const long give_up = NowMs() + kLastWriteWaitMs;
  while (pending_written < pending_size && !output_failed) {
    const long left = give_up - NowMs();
    if (left <= 0) return;
    pollfd room{output, POLLOUT, 0};
    const int ready = poll(&room, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || (room.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return;
    const std::size_t size = std::min(pending_size - pending_written, kBufferSize);
    const ssize_t written = write(output, pending + pending_written, size);
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

// The terminal hung up (its window closed while SIGHUP is ignored, as under
// nohup): every look at it fails from now on, and it holds no mode to put
// back. The run goes on as one without a keyboard.
void LetGoOfTerminal() {
  monitoring = 0;
  mode_active = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  close(terminal);
  terminal = -1;
}

// The user's mode is saved the first time the run owns the terminal in the
// foreground; in the background the mode on it is the shell's, and changing
// it would stop the process (SIGTTOU).
bool EnterMonitoringMode() {
  const pid_t foreground = tcgetpgrp(terminal);
  if (foreground < 0 && errno == EIO) LetGoOfTerminal();
  if (foreground < 0 || foreground != getpgrp()) return false;
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

bool KeyWaits() {
  int waiting = 0;
  if (ioctl(terminal, FIONREAD, &waiting) != 0) {
    if (errno == EIO) LetGoOfTerminal();
    return false;
  }
  return waiting > 0 && KeysAreOurs();
}

// The terminal to watch for a key while a write waits for room: the key
// check's, while the monitoring mode is on it and the run goes on.
int WatchedTerminal() { return mode_active != 0 && ending_at == 0 ? terminal : -1; }

// A reader can hold the writes up on a terminal, a pipe or a socket.
bool MayHoldUp(const struct stat& status) {
  return S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode) || isatty(STDOUT_FILENO) != 0;
}

// Standard output opened anew, for this process alone, so that its writes
// need not block: O_NONBLOCK on standard output itself would be the shell's
// as well, and the programs' after it. A write that finds no room then
// returns at once, and the run waits for room and for a key together. A
// socket cannot be opened so, nor may a terminal of another user; there a
// poll for room comes before each write.
void OpenOwnOutput() {
  output = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  poll_first = output < 0;
  if (output < 0) output = STDOUT_FILENO;
}

// A character device, a terminal or not, shows or takes each message as it
// comes; a file or a pipe is read later, and one write of a full buffer costs
// less than a write per message.
void ChooseSink() {
  FillClosedStandardDescriptors();
  struct stat status {};
  const bool known = fstat(STDOUT_FILENO, &status) == 0;
  if (!known || MayHoldUp(status)) OpenOwnOutput();
  output_is_file = known && S_ISREG(status.st_mode);
  if (known && S_ISCHR(status.st_mode)) {
    sink = Sink::kEachMessage;
    return;
  }
  sink = Sink::kBuffered;
  HandleTerminationRequests();
}

void OpenTerminal() {
  open_tried = true;
  terminal = open("/dev/tty", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (terminal >= 0) monitoring = 1;
}

}  // namespace

// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style, as the run's messages are written
bool ConsolePrint(const char* format, ...) {
  if (sink == Sink::kNotYetKnown) ChooseSink();
  if (output_failed) return false;
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(message, sizeof message, format, arguments);
  va_end(arguments);
  if (length <= 0) return true;
  const std::size_t size = std::min(static_cast<std::size_t>(length), sizeof message - 1);
  if (sink == Sink::kEachMessage) {
    WriteOut(message, size);
  } else {
    EnterOutput();
    Buffer(message, size);
    LeaveOutput();
  }
  return !output_failed;
}

bool KeyPending() {
  if (key_seen) return true;
  if (!open_tried) OpenTerminal();
  if (terminal < 0) return false;
  if (mode_active == 0 && !EnterMonitoringMode()) return false;
  if (!KeyWaits()) return false;
  StartEnding();
  return true;
}

bool ConsoleClose() {
  StartEnding();
  FlushOutput();
  if (terminal >= 0) {
    monitoring = 0;
    RestoreSavedMode();
    close(terminal);
    terminal = -1;
  }
  return !output_failed;
}
