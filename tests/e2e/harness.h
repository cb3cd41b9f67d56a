// Runs the real bcdmon, bound to a stand-in driver copied beside it, in a
// temporary directory, as a terminal session would: under a pseudo-terminal
// that is its controlling terminal, or as a job of a small shell-like process
// on that terminal, or with no terminal at all. Every wait is bounded: a
// condition that does not come true in time fails the test and never hangs it.
#ifndef BCDMON_TESTS_E2E_HARNESS_H_
#define BCDMON_TESTS_E2E_HARNESS_H_

#include <sys/resource.h>
#include <sys/types.h>
#include <termios.h>

#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace e2e {

enum class Driver { kTest, kMissingClose, kHardware, kNone };

// Where standard output goes. Standard input and error are the terminal (with
// no terminal: /dev/null and a file).
enum class Out {
  kTerminal,
  kFile,
  kPipe,
  kFull,    // /dev/full: every write fails
  kClosed,  // no standard output at all
  kNull,    // /dev/null: a character device that is no terminal
};

enum class Session {
  kLeader,         // the program leads the terminal's session itself
  kForegroundJob,  // a job of a shell-like leader, in the terminal's foreground
  kBackgroundJob,  // the same in a background process group
  kNoTerminal,     // its own session, no controlling terminal, stdin /dev/null
};

struct Options {
  Driver driver = Driver::kTest;
  Out out = Out::kTerminal;
  Session session = Session::kLeader;
  const char* open_result = nullptr;  // ZEPTEST_OPEN_RESULT; null: driver default
  const char* reads = nullptr;        // ZEPTEST_READS; null: driver default
  bool hold = false;                  // OpenPort waits until Release()
  const char* crash = nullptr;        // ZEPTEST_CRASH, "N:how": the driver crashes
  // Run as nobody with no capabilities (through setpriv when run by root).
  bool unprivileged = false;
  // Run this program where it lies, with its own driver, instead of a copy
  // of the built one beside `driver`.
  const char* program = nullptr;
  // Started from a folder of its own holding this driver, not from the
  // program's folder (kNone: from the program's folder).
  Driver driver_in_working_dir = Driver::kNone;
  bool stdin_redirected = false;  // standard input /dev/null, the terminal still controlling
  bool sigpipe_ignored = false;   // started with SIGPIPE ignored, as some parents leave it
  bool sighup_ignored = false;    // the same for SIGHUP, as `trap '' HUP` and nohup leave it
  // Files may grow to this many bytes (RLIMIT_FSIZE, SIGXFSZ ignored): a full disk.
  rlim_t file_limit = RLIM_INFINITY;
  bool nonblocking_pipe = false;  // a pipe of one page, left O_NONBLOCK, as some parents leave it
  // tcsetattr changes a bit of every non-canonical mode, as a terminal may.
  bool adjusting_terminal = false;
  std::vector<std::string> wrapper;  // a command that runs the program, such as valgrind
};

// The program's messages with plain "\n" line ends.
extern const char kHeader[];   // opening and configuring, both succeeded
extern const char kTrailer[];  // closing
std::string Reading(long value);

// "\n" as the terminal shows it ("\r\n"), and back.
std::string ToTerminal(const std::string& text);
std::string FromTerminal(const std::string& text);
bool EndsWith(const std::string& text, const std::string& end);

// Names parameterised cases by their `name` (see also NAMED_CASE).
struct ByName {
  template <typename Case>
  std::string operator()(const testing::TestParamInfo<Case>& param) const {
    return param.param.name;
  }
};
// In a case struct: shows the case in messages by its `name`.
#define NAMED_CASE(Case)                                                     \
  friend std::ostream& operator<<(std::ostream& stream, const Case& value) { \
    return stream << value.name;                                             \
  }
const char* NameOf(Out out);
void PrintTo(Out out, std::ostream* stream);

// Equal texts; else where they part, briefly (the texts may be long).
testing::AssertionResult SameText(const std::string& expected, const std::string& actual);

testing::AssertionResult SameMode(const termios& expected, const termios& actual);
testing::AssertionResult ExitedWith(std::optional<int> status, int code);
testing::AssertionResult KilledBy(std::optional<int> status, int signal);

class Program {
 public:
  explicit Program(const Options& options);
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  // Polls `done` (reading the outputs meanwhile) until it holds; on time-out
  // adds a failure naming `what` and returns false.
  bool WaitFor(const std::function<bool()>& done, const std::string& what);
  bool WaitForTerminal(const std::string& text);
  bool WaitForReads(std::size_t count);
  bool WaitForMonitoringMode();  // ICANON cleared on the terminal
  // The next status of the program: ended, or also stopped when `stops`.
  std::optional<int> Wait(bool stops = false);

  // Reads the outputs for `milliseconds`, a batch every `every_ms` rather
  // than at each write, so that a program that writes often is seldom
  // interrupted by its reader (as the benchmark needs).
  void ReadInBatches(int milliseconds, int every_ms);

  void Type(const std::string& bytes);  // into the terminal, as a keyboard would
  void Signal(int signal);
  void Release();                           // lets a held OpenPort return
  void CloseOutputPipe();                   // the reader of standard output goes away
  void StallOutput(bool stalled);           // its reader (pipe or terminal) stops, or goes on
  void HangUp();                            // the terminal goes away, as its window closes
  void SetMode(const termios& mode) const;  // as another program on the terminal would

  pid_t pid() const { return pid_; }
  bool saw_stop() const { return saw_stop_; }
  const std::string& terminal() const { return terminal_; }  // read so far
  const std::string& piped() const { return piped_; }        // read so far
  const termios& mode_before() const { return before_; }
  termios Mode() const;
  // Once the program ended, its resource usage from wait4 (CPU time, context
  // switches), where it is the process forked here: the leader of its
  // session, or with no terminal; else none.
  std::optional<rusage> Usage() const { return usage_; }

  // After the program ended: all it wrote to the terminal; all it wrote to
  // standard output, "\r\n" turned back into "\n" for the terminal.
  std::string Terminal();
  std::string Output();
  std::string Stderr() const;
  std::string Log() const;                   // the driver's call log
  std::string File(const char* name) const;  // a file in the program's directory
  std::size_t ReadCount() const;
  std::size_t BytesWritten() const;  // by the program and its driver (wchar of /proc/PID/io)
  // What is still waiting in the terminal's input: `count` bytes and any more.
  std::string TakeInput(std::size_t count);

 private:
  struct ChildFiles;
  std::string PrepareFolder();
  bool OpenTerminal();
  ChildFiles OpenChildFiles();
  void Start(const ChildFiles& files, const std::string& working_dir);
  int OpenOutput();
  void Pump(int milliseconds, int batch_ms = 0);
  bool ReadReady(int wait_ms);
  void Collect();
  void Note(int status);
  std::string Path(const char* name) const { return dir_ + "/" + name; }

  Options options_;
  std::string dir_;
  int master_ = -1;
  int slave_ = -1;
  int out_pipe_ = -1;      // read end, when standard output is a pipe
  int stalled_pipe_ = -1;  // the same while it is not read
  bool master_stalled_ = false;
  int events_ = -1;   // read end of the job leader's reports
  pid_t child_ = -1;  // the process forked here
  pid_t pid_ = -1;    // the program
  bool ended_ = false;
  bool saw_stop_ = false;
  std::string last_status_ = "running";
  termios before_{};
  std::string terminal_;
  std::string piped_;
  std::string event_bytes_;
  std::deque<int> statuses_;
  std::optional<rusage> usage_;
};

}  // namespace e2e

#endif  // BCDMON_TESTS_E2E_HARNESS_H_
