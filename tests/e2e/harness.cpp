#include "tests/e2e/harness.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>
#include <vector>

namespace e2e {

const char kHeader[] = "\nOpening Port...Passed\nConfig Port....done";
const char kTrailer[] = "\nClosing port...done\n\n";

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto kDeadline = std::chrono::seconds(20);
constexpr int kSetupFailed = 124;  // exit status of a child whose setup failed
constexpr int kExecFailed = 125;
constexpr int kEventPid = 1;  // the job leader's reports: {kind, value}
constexpr int kEventStatus = 2;
constexpr char kSettled[] = "<e2e: all output read>";

// Keeps 0, 1 and 2 free, so that the child's dup2 onto them cannot clobber.
int High(int fd) {
  if (fd < 0 || fd > 2) return fd;
  const int high = fcntl(fd, F_DUPFD, 3);
  close(fd);
  return high;
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string Describe(int status) {
  std::ostringstream text;
  if (WIFEXITED(status)) text << "exited with " << WEXITSTATUS(status);
  if (WIFSIGNALED(status)) text << "killed by " << strsignal(WTERMSIG(status));
  if (WIFSTOPPED(status)) text << "stopped by " << strsignal(WSTOPSIG(status));
  if (WIFCONTINUED(status)) text << "continued";
  return text.str();
}

// What the forked child needs, all prepared before the fork.
struct Plan {
  Session session;
  int in, out, err, slave, events;  // out < 0: standard output closed
  bool sigpipe_ignored;
  bool sighup_ignored;
  rlim_t file_limit;
  const char* dir;
  const char* program;
  char* const* argv;
  char* const* envp;
};

[[noreturn]] void Exec(const Plan& plan) {
  if (dup2(plan.in, 0) < 0 || dup2(plan.err, 2) < 0) _exit(kSetupFailed);
  if (plan.out < 0) {
    close(1);
  } else if (dup2(plan.out, 1) < 0) {
    _exit(kSetupFailed);
  }
  if (close_range(3, ~0U, 0) != 0) {
    for (int fd = 3; fd < 1024; ++fd) close(fd);
  }
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  for (int signal = 1; signal < NSIG; ++signal) sigaction(signal, &fallback, nullptr);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  if (plan.sigpipe_ignored) sigaction(SIGPIPE, &ignore, nullptr);
  if (plan.sighup_ignored) sigaction(SIGHUP, &ignore, nullptr);
  if (plan.file_limit != RLIM_INFINITY) {
    sigaction(SIGXFSZ, &ignore, nullptr);
    const rlimit limit{plan.file_limit, plan.file_limit};
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  const rlimit no_core{0, 0};  // Ctrl-\, the faults and abort must not leave cores behind
  setrlimit(RLIMIT_CORE, &no_core);
  if (chdir(plan.dir) != 0) _exit(kSetupFailed);
  execve(plan.program, plan.argv, plan.envp);
  _exit(kExecFailed);
}

void Report(int fd, int kind, int value) {
  const int event[2] = {kind, value};
  if (write(fd, event, sizeof event) != static_cast<ssize_t>(sizeof event)) _exit(kSetupFailed);
}

// Runs in the forked child; only async-signal-safe calls.
[[noreturn]] void ChildMain(const Plan& plan) {
  setsid();
  if (plan.session == Session::kNoTerminal) Exec(plan);
  if (ioctl(plan.slave, TIOCSCTTY, 0) != 0) _exit(kSetupFailed);
  if (plan.session == Session::kLeader) Exec(plan);

  // A shell-like leader: the program runs in a process group of its own whose
  // parent (this leader) is in the same session, as a shell's job is, so the
  // terminal's job control applies to it in full.
  const pid_t job = fork();
  if (job < 0) _exit(kSetupFailed);
  if (job == 0) {
    setpgid(0, 0);
    if (plan.session == Session::kForegroundJob) {
      sigset_t ttou;  // a background group may take the terminal with SIGTTOU blocked
      sigemptyset(&ttou);
      sigaddset(&ttou, SIGTTOU);
      sigprocmask(SIG_BLOCK, &ttou, nullptr);
      if (tcsetpgrp(plan.slave, getpid()) != 0) _exit(kSetupFailed);
    }
    Exec(plan);  // unblocks SIGTTOU
  }
  setpgid(job, job);
  if (dup2(plan.events, 3) < 0) _exit(kSetupFailed);
  if (close_range(4, ~0U, 0) != 0) {
    for (int fd = 4; fd < 1024; ++fd) close(fd);
  }
  close(0);  // keeps no pipe end open beyond the program's life
  close(1);
  close(2);
  Report(3, kEventPid, job);
  for (;;) {
    int status = 0;
    if (waitpid(job, &status, WUNTRACED | WCONTINUED) < 0) {
      if (errno == EINTR) continue;
      _exit(kSetupFailed);
    }
    Report(3, kEventStatus, status);
    if (WIFEXITED(status) || WIFSIGNALED(status)) _exit(0);
  }
}

void Reap(pid_t pid) {
  const auto give_up = Clock::now() + std::chrono::seconds(5);
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (Clock::now() > give_up) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return;
    }
    usleep(10000);
  }
}

std::string Escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (static_cast<unsigned char>(c) < 0x20) {
      constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[(c >> 4) & 0xF];
      out += kHex[c & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

const char* DriverPath(Driver driver) {
  switch (driver) {
    case Driver::kTest:
      return TEST_DRIVER_PATH;
    case Driver::kMissingClose:
      return MISSING_CLOSE_DRIVER_PATH;
    case Driver::kHardware:
      return HARDWARE_DRIVER_PATH;
    case Driver::kNone:
      break;
  }
  return nullptr;
}

// The folder the program is started from: its own, or one beside it that
// holds `stranger` as its libzepdriver.so.
std::string WorkingDir(const std::string& dir, Driver stranger) {
  const char* driver = DriverPath(stranger);
  if (driver == nullptr) return dir;
  std::string elsewhere = dir + "/elsewhere";
  fs::create_directory(elsewhere);
  fs::copy_file(driver, elsewhere + "/libzepdriver.so");
  return elsewhere;
}

void PreloadAdjustingTcsetattr(std::vector<std::string>& environment) {
  environment.push_back(std::string("LD_PRELOAD=") + ADJUSTING_TCSETATTR_PATH);
  // Under the sanitizers, whose runtime would otherwise have to come first.
  const auto asan = std::find_if(environment.begin(), environment.end(), [](const auto& entry) {
    return entry.rfind("ASAN_OPTIONS=", 0) == 0;
  });
  if (asan == environment.end()) {
    environment.emplace_back("ASAN_OPTIONS=verify_asan_link_order=0");
  } else {
    *asan += ":verify_asan_link_order=0";
  }
}

constexpr char kSetpriv[] = "/usr/bin/setpriv";

// The command that runs `program` as nobody, with no groups and no
// capabilities that it could keep or regain.
std::vector<std::string> Unprivileged(const std::string& program) {
  return {"setpriv",
          "--reuid=nobody",
          "--regid=nogroup",
          "--clear-groups",
          "--inh-caps=-all",
          "--bounding-set=-all",
          "--no-new-privs",
          "--",
          program};
}

bool HasTerminal(const Options& options) { return options.session != Session::kNoTerminal; }

// Run by root, a program asked to run without privilege runs as nobody.
bool RunsAsNobody(const Options& options) { return options.unprivileged && geteuid() == 0; }

// This process's environment without what steers the drivers, and with what
// the options ask of them; their files in `dir`.
std::vector<std::string> Environment(const Options& options, const std::string& dir) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (text.rfind("LD_LIBRARY_PATH=", 0) == 0 || text.rfind("ZEPTEST_", 0) == 0) continue;
    if (text.rfind("BCDMON_BOARD_CONF=", 0) == 0) continue;
    environment.push_back(text);
  }
  // No board file, which /dev/null stands for: not the host's, which may
  // move the hardware driver's block. No test writes one of its own.
  environment.emplace_back("BCDMON_BOARD_CONF=/dev/null");
  environment.push_back("ZEPTEST_LOG=" + dir + "/calls.log");
  if (options.hold) environment.push_back("ZEPTEST_HOLD=" + dir + "/release");
  if (options.open_result != nullptr) {
    environment.push_back(std::string("ZEPTEST_OPEN_RESULT=") + options.open_result);
  }
  if (options.reads != nullptr)
    environment.push_back(std::string("ZEPTEST_READS=") + options.reads);
  if (options.crash != nullptr)
    environment.push_back(std::string("ZEPTEST_CRASH=") + options.crash);
  if (options.adjusting_terminal) PreloadAdjustingTcsetattr(environment);
  return environment;
}

// The file to execute and the words it is given.
struct Command {
  std::string file;
  std::vector<std::string> words;
};

// The program where it lies, or the built one copied into `dir`; run through
// the wrapper, if any, and as nobody when asked.
Command CommandLine(const Options& options, const std::string& dir) {
  Command command;
  command.file = options.program != nullptr ? options.program : dir + "/bcdmon";
  command.words = options.wrapper;
  command.words.push_back(command.words.empty() ? "bcdmon" : command.file);
  if (!options.wrapper.empty()) command.file = options.wrapper[0];
  if (RunsAsNobody(options)) {
    command.words = Unprivileged(command.file);
    command.file = kSetpriv;
  }
  return command;
}

// The words as execve takes them: pointers into them, then a null pointer.
std::vector<char*> Pointers(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  pointers.reserve(words.size() + 1);
  for (std::string& word : words) pointers.push_back(word.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

std::string Reading(long value) {
  const auto byte = static_cast<unsigned int>(value) & 0xFFU;
  std::string text = "\nUnpacked BCD : ";
  text += static_cast<char>('0' | (byte >> 4));
  text += static_cast<char>('0' | (byte & 0xFU));
  return text;
}

std::string ToTerminal(const std::string& text) {
  std::string out;
  for (const char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

std::string FromTerminal(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 2, "\r\n") == 0) continue;  // the '\n' follows
    out += text[i];
  }
  return out;
}

const char* NameOf(Out out) {
  switch (out) {
    case Out::kTerminal:
      return "Terminal";
    case Out::kFile:
      return "File";
    case Out::kPipe:
      return "Pipe";
    case Out::kFull:
      return "Full";
    case Out::kClosed:
      return "Closed";
    case Out::kNull:
      return "Null";
  }
  return "?";
}

void PrintTo(Out out, std::ostream* stream) { *stream << NameOf(out); }

testing::AssertionResult SameText(const std::string& expected, const std::string& actual) {
  if (expected == actual) return testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
  const std::size_t from = at < 40 ? 0 : at - 40;
  return testing::AssertionFailure()
         << "texts differ at byte " << at << " (expected " << expected.size() << " bytes, got "
         << actual.size() << "):\n  expected ..." << Escaped(expected.substr(from, 80))
         << "\n  actual   ..." << Escaped(actual.substr(from, 80));
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

testing::AssertionResult SameMode(const termios& expected, const termios& actual) {
  std::ostringstream diff;
  diff << std::hex;
  const auto field = [&](const char* name, tcflag_t want, tcflag_t got) {
    if (want != got) diff << " " << name << " 0x" << want << " became 0x" << got << ";";
  };
  field("c_iflag", expected.c_iflag, actual.c_iflag);
  field("c_oflag", expected.c_oflag, actual.c_oflag);
  field("c_cflag", expected.c_cflag, actual.c_cflag);
  field("c_lflag", expected.c_lflag, actual.c_lflag);
  for (std::size_t i = 0; i < NCCS; ++i) {
    if (expected.c_cc[i] != actual.c_cc[i]) {
      diff << " c_cc[" << std::dec << i << std::hex << "] 0x" << +expected.c_cc[i] << " became 0x"
           << +actual.c_cc[i] << ";";
    }
  }
  if (diff.str().empty()) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "terminal mode changed:" << diff.str();
}

testing::AssertionResult ExitedWith(std::optional<int> status, int code) {
  if (!status) return testing::AssertionFailure() << "the program did not end";
  if (WIFEXITED(*status) && WEXITSTATUS(*status) == code) return testing::AssertionSuccess();
  return testing::AssertionFailure()
         << "expected exit status " << code << ", but the program " << Describe(*status);
}

testing::AssertionResult KilledBy(std::optional<int> status, int signal) {
  if (!status) return testing::AssertionFailure() << "the program did not end";
  if (WIFSIGNALED(*status) && WTERMSIG(*status) == signal) return testing::AssertionSuccess();
  return testing::AssertionFailure()
         << "expected death by " << strsignal(signal) << ", but the program " << Describe(*status);
}

// The program's standard input, output and error, and the write end of the
// pipe on which a job's leader reports (-1 where there is no leader).
struct Program::ChildFiles {
  int in;
  int out;  // < 0: standard output closed
  int err;
  int events;
};

Program::Program(const Options& options) : options_(options) {
  const std::string working_dir = PrepareFolder();
  if (working_dir.empty() || !OpenTerminal()) return;
  Start(OpenChildFiles(), working_dir);
}

// Makes the program's folder and copies into it what it runs; returns the
// folder to start it from, or "" when none could be made.
std::string Program::PrepareFolder() {
  std::string pattern = (fs::temp_directory_path() / "bcdmon-e2e-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
    return {};
  }
  dir_ = pattern;

  if (options_.program == nullptr) fs::copy_file(BCDMON_PATH, Path("bcdmon"));
  const char* driver = DriverPath(options_.driver);
  if (driver != nullptr) fs::copy_file(driver, Path("libzepdriver.so"));
  std::string working_dir = WorkingDir(dir_, options_.driver_in_working_dir);
  // Run by root, the program is run as nobody, who must reach its files.
  if (RunsAsNobody(options_)) {
    fs::permissions(dir_, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);
  }
  return working_dir;
}

// Opens the pseudo-terminal, unless the program runs without one; false when
// the program cannot run as asked.
bool Program::OpenTerminal() {
  if (!HasTerminal(options_)) {
    if (options_.out != Out::kTerminal) return true;
    ADD_FAILURE() << "no terminal to write to";
    return false;
  }
  if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) {
    ADD_FAILURE() << "openpty: " << std::strerror(errno);
    return false;
  }
  master_ = High(master_);
  slave_ = High(slave_);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  tcgetattr(slave_, &before_);
  return true;
}

Program::ChildFiles Program::OpenChildFiles() {
  const bool pty = HasTerminal(options_);
  ChildFiles files{};
  files.out = OpenOutput();
  files.in = pty && !options_.stdin_redirected ? slave_ : High(open("/dev/null", O_RDONLY));
  files.err = pty ? slave_ : High(open(Path("stderr").c_str(), O_WRONLY | O_CREAT, 0644));
  files.events = -1;
  if (options_.session == Session::kForegroundJob || options_.session == Session::kBackgroundJob) {
    int ends[2];
    if (pipe(ends) != 0) ADD_FAILURE() << "pipe: " << std::strerror(errno);
    events_ = High(ends[0]);
    files.events = High(ends[1]);
    fcntl(events_, F_SETFL, O_NONBLOCK);
  }
  return files;
}

// Forks the child that runs the program with `files`, and learns the
// program's process id: the child's own, or the one its job's leader reports.
void Program::Start(const ChildFiles& files, const std::string& working_dir) {
  std::vector<std::string> environment = Environment(options_, dir_);
  Command command = CommandLine(options_, dir_);
  const std::vector<char*> envp = Pointers(environment);
  const std::vector<char*> argv = Pointers(command.words);
  const Plan plan{options_.session,
                  files.in,
                  files.out,
                  files.err,
                  slave_,
                  files.events,
                  options_.sigpipe_ignored,
                  options_.sighup_ignored,
                  options_.file_limit,
                  working_dir.c_str(),
                  command.file.c_str(),
                  argv.data(),
                  envp.data()};

  child_ = fork();
  if (child_ == 0) ChildMain(plan);
  if (child_ < 0) ADD_FAILURE() << "fork: " << std::strerror(errno);
  for (const int fd : {files.out, files.in, files.err, files.events}) {
    if (fd >= 0 && fd != slave_) close(fd);
  }
  if (events_ < 0) {
    pid_ = child_;
  } else {
    WaitFor([&] { return pid_ > 0 || events_ < 0; }, "the job's process id");
    if (pid_ <= 0) ADD_FAILURE() << "the job was not started";
  }
}

Program::~Program() {
  Pump(0);  // the latest news of the program
  if (!ended_ && pid_ > 0) kill(pid_, SIGKILL);
  if (child_ > 0 && pid_ <= 0) kill(child_, SIGKILL);
  if (child_ > 0 && !(ended_ && child_ == pid_)) Reap(child_);
  for (const int fd : {master_, slave_, out_pipe_, stalled_pipe_, events_}) {
    if (fd >= 0) close(fd);
  }
  std::error_code ignored;
  if (!dir_.empty()) fs::remove_all(dir_, ignored);
}

// The program's standard output; -1 for none.
int Program::OpenOutput() {
  switch (options_.out) {
    case Out::kTerminal:
      return slave_;
    case Out::kFile:
      return High(open(Path("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    case Out::kPipe: {
      int ends[2];
      if (pipe(ends) != 0) ADD_FAILURE() << "pipe: " << std::strerror(errno);
      out_pipe_ = High(ends[0]);
      fcntl(out_pipe_, F_SETFL, O_NONBLOCK);
      if (options_.nonblocking_pipe) {
        constexpr int kOnePage = 4096;
        if (fcntl(ends[1], F_SETPIPE_SZ, kOnePage) < 0) ADD_FAILURE() << std::strerror(errno);
        fcntl(ends[1], F_SETFL, O_NONBLOCK);
      }
      return High(ends[1]);
    }
    case Out::kFull:
      return High(open("/dev/full", O_WRONLY));
    case Out::kNull:
      return High(open("/dev/null", O_WRONLY));
    case Out::kClosed:
      return -1;
  }
  return -1;
}

// Reads the outputs for `milliseconds`: each as soon as it has something, or
// with `batch_ms` all they have every `batch_ms`.
void Program::Pump(int milliseconds, int batch_ms) {
  const auto until = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    Collect();
    const auto left = std::max<std::chrono::milliseconds::rep>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count());
    if (batch_ms > 0) {
      // A plain sleep, while the outputs gather in their buffers.
      poll(nullptr, 0, static_cast<int>(std::min<std::chrono::milliseconds::rep>(left, batch_ms)));
      while (ReadReady(0)) {
      }
    } else {
      ReadReady(static_cast<int>(left));
    }
    if (Clock::now() >= until) break;
  }
  Collect();
}

// Waits up to `wait_ms` for any output to have something, then reads once
// from each that has; true when anything was read. A pipe that ended is
// closed.
bool Program::ReadReady(int wait_ms) {
  pollfd fds[3];
  std::string* sinks[3];
  int* owners[3];
  nfds_t count = 0;
  const auto add = [&](int* fd, std::string* sink) {
    if (*fd < 0) return;
    fds[count] = pollfd{*fd, POLLIN, 0};
    sinks[count] = sink;
    owners[count++] = fd;
  };
  if (!master_stalled_) add(&master_, &terminal_);
  add(&out_pipe_, &piped_);
  add(&events_, &event_bytes_);
  if (poll(count > 0 ? fds : nullptr, count, wait_ms) <= 0) return false;
  bool read_any = false;
  for (nfds_t i = 0; i < count; ++i) {
    if (fds[i].revents == 0) continue;
    char buffer[4096];
    const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
    if (got > 0) {
      sinks[i]->append(buffer, static_cast<std::size_t>(got));
      read_any = true;
    } else if (owners[i] != &master_ && (got == 0 || (errno != EAGAIN && errno != EINTR))) {
      close(*owners[i]);  // the end of a pipe
      *owners[i] = -1;
    }
  }
  return read_any;
}

void Program::ReadInBatches(int milliseconds, int every_ms) { Pump(milliseconds, every_ms); }

void Program::Note(int status) {
  statuses_.push_back(status);
  last_status_ = Describe(status);
  if (WIFSTOPPED(status)) saw_stop_ = true;
  if (WIFEXITED(status) || WIFSIGNALED(status)) ended_ = true;
}

void Program::Collect() {
  if (events_ < 0 && !event_bytes_.empty()) event_bytes_.clear();
  while (event_bytes_.size() >= 2 * sizeof(int)) {
    int event[2];
    std::memcpy(event, event_bytes_.data(), sizeof event);
    event_bytes_.erase(0, sizeof event);
    if (event[0] == kEventPid) pid_ = event[1];
    if (event[0] == kEventStatus) Note(event[1]);
  }
  if (child_ > 0 && child_ == pid_ && !ended_) {
    int status = 0;
    rusage usage{};
    while (!ended_ && wait4(child_, &status, WNOHANG | WUNTRACED | WCONTINUED, &usage) > 0) {
      Note(status);
    }
    if (ended_) usage_ = usage;
  }
}

bool Program::WaitFor(const std::function<bool()>& done, const std::string& what) {
  const auto give_up = Clock::now() + kDeadline;
  for (;;) {
    if (done()) return true;
    if (Clock::now() > give_up) break;
    Pump(10);
  }
  const std::string tail =
      terminal_.size() > 300 ? terminal_.substr(terminal_.size() - 300) : terminal_;
  ADD_FAILURE() << "timed out waiting for " << what << " (the program: " << last_status_
                << "; driver reads so far: " << ReadCount() << "; terminal ends with \""
                << Escaped(tail) << "\")";
  return false;
}

bool Program::WaitForTerminal(const std::string& text) {
  return WaitFor([&] { return terminal_.find(text) != std::string::npos; },
                 "\"" + Escaped(text) + "\" on the terminal");
}

bool Program::WaitForReads(std::size_t count) {
  return WaitFor([&] { return ReadCount() >= count; }, std::to_string(count) + " reads");
}

bool Program::WaitForMonitoringMode() {
  return WaitFor([&] { return (Mode().c_lflag & ICANON) == 0; }, "the monitoring mode");
}

std::optional<int> Program::Wait(bool stops) {
  std::optional<int> found;
  WaitFor(
      [&] {
        while (!found && !statuses_.empty()) {
          const int status = statuses_.front();
          statuses_.pop_front();
          if (WIFEXITED(status) || WIFSIGNALED(status) || (stops && WIFSTOPPED(status))) {
            found = status;
          }
        }
        return found.has_value();
      },
      stops ? "the program to stop or end" : "the program to end");
  if (!found && !ended_ && pid_ > 0) kill(pid_, SIGKILL);  // the destructor reaps it
  return found;
}

void Program::Type(const std::string& bytes) {
  ASSERT_GE(master_, 0);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = write(master_, bytes.data() + done, bytes.size() - done);
    if (wrote > 0) {
      done += static_cast<std::size_t>(wrote);
    } else if (errno == EAGAIN || errno == EINTR) {
      Pump(1);
    } else {
      FAIL() << "writing to the terminal: " << std::strerror(errno);
    }
  }
}

void Program::Signal(int signal) {
  ASSERT_GT(pid_, 0);
  ASSERT_FALSE(ended_) << "the program already ended";
  ASSERT_EQ(kill(pid_, signal), 0) << std::strerror(errno);
}

void Program::Release() { std::ofstream(Path("release")).put('\n'); }

void Program::CloseOutputPipe() {
  if (out_pipe_ >= 0) close(out_pipe_);
  out_pipe_ = -1;
}

// Pump reads the output pipe through out_pipe_: while stalled, its end is
// kept aside. The terminal is not read while stalled.
void Program::StallOutput(bool stalled) {
  if (options_.out == Out::kTerminal) master_stalled_ = stalled;
  if (stalled != (stalled_pipe_ >= 0)) std::swap(out_pipe_, stalled_pipe_);
}

// Closing the master hangs the terminal up, for the harness's end too.
void Program::HangUp() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

void Program::SetMode(const termios& mode) const {
  ASSERT_GE(slave_, 0);
  ASSERT_EQ(tcsetattr(slave_, TCSANOW, &mode), 0) << std::strerror(errno);
}

termios Program::Mode() const {
  termios mode{};
  if (slave_ >= 0) tcgetattr(slave_, &mode);
  return mode;
}

std::string Program::Terminal() {
  if (slave_ < 0) return terminal_;
  // Anything written to the terminal earlier reaches the master earlier, so
  // once this marker arrives, all the program wrote has been read.
  const std::string marker = kSettled;
  if (write(slave_, marker.data(), marker.size()) == static_cast<ssize_t>(marker.size()) &&
      WaitForTerminal(marker)) {
    terminal_.erase(terminal_.rfind(marker), marker.size());
  }
  return terminal_;
}

std::string Program::Output() {
  switch (options_.out) {
    case Out::kTerminal:
      return FromTerminal(Terminal());
    case Out::kFile:
      return ReadFile(Path("stdout"));
    case Out::kPipe:
      WaitFor([&] { return out_pipe_ < 0; }, "the end of the output pipe");
      return piped_;
    case Out::kFull:
    case Out::kClosed:
    case Out::kNull:
      return {};
  }
  return {};
}

std::string Program::Stderr() const { return ReadFile(Path("stderr")); }

std::string Program::Log() const { return ReadFile(Path("calls.log")); }

std::string Program::File(const char* name) const { return ReadFile(Path(name)); }

std::size_t Program::ReadCount() const {
  const std::string log = Log();
  std::size_t count = 0;
  for (std::size_t at = log.find("ReadPort 888\n"); at != std::string::npos;
       at = log.find("ReadPort 888\n", at + 1)) {
    ++count;
  }
  return count;
}

std::size_t Program::BytesWritten() const {
  std::istringstream io(ReadFile("/proc/" + std::to_string(pid_) + "/io"));
  for (std::string name, value; io >> name >> value;) {
    if (name == "wchar:") return std::stoul(value);
  }
  ADD_FAILURE() << "no wchar in /proc/" << pid_ << "/io";
  return 0;
}

std::string Program::TakeInput(std::size_t count) {
  std::string input;
  if (slave_ < 0) return input;
  const termios mode = Mode();
  termios raw = mode;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  tcsetattr(slave_, TCSANOW, &raw);
  const auto give_up = Clock::now() + kDeadline;
  while (Clock::now() < give_up) {
    pollfd fd{slave_, POLLIN, 0};
    // Once `count` bytes are in, a short look for any more.
    const bool ready = poll(&fd, 1, input.size() >= count ? 100 : 10) > 0;
    char buffer[256];
    const ssize_t got = ready ? read(slave_, buffer, sizeof buffer) : 0;
    if (got > 0) {
      input.append(buffer, static_cast<std::size_t>(got));
    } else if (input.size() >= count) {
      break;
    }
  }
  tcsetattr(slave_, TCSANOW, &mode);
  return input;
}

}  // namespace e2e
