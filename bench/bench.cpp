// How close bcdmon comes to its pace of one reading per 1 ms pause.
//
// Each subject runs as a child under a pseudo-terminal that is its controlling
// terminal, with standard output on that terminal, in a file or on /dev/null,
// for a fixed time; then a key is typed (the bare loop, which looks at no key,
// is terminated). The child is reaped with wait4, whose resource usage gives
// its CPU time and its voluntary context switches: each blocking 1 ms sleep is
// one, which counts the passes where the output cannot be seen (/dev/null).
// Where it can be seen, the readings are counted in it.
//
// The subjects: bcdmon with the simulated device; the bare loop (1 ms sleeps
// alone, default timer slack); the skeleton (one pass's system calls and no
// logic). They take turns within each round, in an order that rotates, and
// the figures are medians over the rounds; a ratio is the median of the
// ratios taken within each round, side by side. System calls are counted in
// separate runs under strace -c, as the difference between a short and a long
// run, so that starting and ending the process do not count.
//
//   bcdmon_bench [--rounds N] [--seconds S] [--strace-seconds S]
//   bcdmon_bench --soak SECONDS [--every SECONDS]
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

enum class Subject { kBareLoop, kSkeleton, kBcdmon };
enum class Output { kTerminal, kFile, kNull };

constexpr Subject kSubjects[] = {Subject::kBareLoop, Subject::kSkeleton, Subject::kBcdmon};
constexpr Output kOutputs[] = {Output::kTerminal, Output::kFile, Output::kNull};
constexpr int kSubjectCount = 3;
constexpr int kOutputCount = 3;

constexpr char kMarker[] = "Unpacked BCD";  // once in every reading's line
constexpr double kShortStraceSeconds = 0.5;
constexpr auto kEndPatience = std::chrono::seconds(10);
// The terminal is read in batches, not at every write, so that the reader's
// wake-ups take as little as they can from the subject on a 2-core machine.
constexpr long kReadEveryMs = 10;
constexpr auto kDrainPatience = std::chrono::milliseconds(200);

// Targets for bcdmon, measured against the baselines of the same run.
constexpr double kMinTimesBareLoop = 1.02;
constexpr double kMinTimesSkeleton = 0.99;
constexpr double kMaxCpuTimesSkeleton = 1.2;
// bcdmon writes each message by itself on a character device (the terminal,
// /dev/null) and through its 4096-byte buffer to a file or a pipe.
constexpr double kMaxCallsOnCharacterDevice = 3.0;
constexpr double kMaxCallsBuffered = 2.01;

struct Settings {
  int rounds = 5;
  double seconds = 3;
  double strace_seconds = 3;
  double soak_seconds = 0;  // 0: the benchmark, not a soak
  double every = 10;
};

const char* NameOf(Subject subject) {
  switch (subject) {
    case Subject::kBareLoop:
      return "bare loop";
    case Subject::kSkeleton:
      return "skeleton";
    case Subject::kBcdmon:
      return "bcdmon";
  }
  return "?";
}

const char* NameOf(Output output) {
  switch (output) {
    case Output::kTerminal:
      return "terminal";
    case Output::kFile:
      return "file";
    case Output::kNull:
      return "/dev/null";
  }
  return "?";
}

const char* PathOf(Subject subject) {
  switch (subject) {
    case Subject::kBareLoop:
      return BARE_LOOP_PATH;
    case Subject::kSkeleton:
      return SKELETON_PATH;
    case Subject::kBcdmon:
      return BCDMON_PATH;
  }
  return "";
}

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

double Seconds(const timeval& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

// Counts the marker in a stream that arrives in pieces.
struct MarkerCount {
  std::string tail;  // the end of the last piece, where a marker may begin
  long count = 0;
};

void Feed(MarkerCount& markers, const char* data, std::size_t size) {
  const std::string text = markers.tail + std::string(data, size);
  for (std::size_t at = text.find(kMarker); at != std::string::npos;
       at = text.find(kMarker, at + 1)) {
    ++markers.count;
  }
  const std::size_t keep = std::min(text.size(), sizeof kMarker - 2);
  markers.tail = text.substr(text.size() - keep);
}

long CountInFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  MarkerCount markers;
  Feed(markers, text.str().data(), text.str().size());
  return markers.count;
}

struct Run {
  bool ok = false;
  double seconds = 0;      // from the start to the key
  double cpu_seconds = 0;  // user and system
  long switches = 0;       // voluntary context switches
  long lines = -1;         // readings seen in the output; -1: not visible
  int status = 0;
};

// Sets up the child: a session of its own led by it, the pseudo-terminal as
// its controlling terminal, standard input and error on it, and standard
// output where asked. Only async-signal-safe calls.
[[noreturn]] void Exec(int slave, int out, char* const* argv) {
  setsid();
  if (ioctl(slave, TIOCSCTTY, 0) != 0) _exit(126);
  if (dup2(slave, 0) < 0 || dup2(out, 1) < 0 || dup2(slave, 2) < 0) _exit(126);
  for (int fd = 3; fd < 1024; ++fd) close(fd);
  execv(argv[0], argv);
  _exit(127);
}

int OpenOutput(Output output, int slave, const std::string& file) {
  switch (output) {
    case Output::kTerminal:
      return dup(slave);
    case Output::kFile:
      return open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    case Output::kNull:
      return open("/dev/null", O_WRONLY);
  }
  return -1;
}

// Reads what the terminal has for us, waiting at most `wait_ms`; false once
// the terminal is closed on the other side.
bool Drain(int master, int wait_ms, MarkerCount& markers) {
  pollfd ready{master, POLLIN, 0};
  if (poll(&ready, 1, wait_ms) <= 0) return true;
  char buffer[8192];
  const ssize_t got = read(master, buffer, sizeof buffer);
  if (got > 0) Feed(markers, buffer, static_cast<std::size_t>(got));
  return got > 0 || (got < 0 && (errno == EAGAIN || errno == EINTR));
}

bool Readable(int fd) {
  pollfd ready{fd, POLLIN, 0};
  return poll(&ready, 1, 0) > 0;
}

using Tick = std::function<void(pid_t, double)>;

// Runs `command` for `seconds` under a new pseudo-terminal, then ends it with
// a key (or SIGTERM), reaps it and reports.
Run RunUnderTerminal(const std::vector<std::string>& command, Output output, double seconds,
                     bool ends_on_key, const std::string& file, const Tick& tick = {},
                     double tick_every = 0) {
  Run run;
  int master = -1;
  int slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
    std::perror("openpty");
    return run;
  }
  const int out = OpenOutput(output, slave, file);
  std::vector<std::string> words = command;
  std::vector<char*> argv;
  argv.reserve(words.size() + 1);
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);

  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) Exec(slave, out, argv.data());
  close(out);
  close(slave);
  if (pid < 0) {
    std::perror("fork");
    close(master);
    return run;
  }
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

  MarkerCount markers;
  const auto until =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  auto next_tick = start + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(tick_every));
  for (auto now = Clock::now(); now < until; now = Clock::now()) {
    if (tick && now >= next_tick) {
      tick(pid, Seconds(now - start));
      next_tick +=
          std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(tick_every));
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
    poll(nullptr, 0, static_cast<int>(std::min<long>(left + 1, kReadEveryMs)));
    while (Drain(master, 0, markers) && Readable(master)) {
    }
  }

  if (ends_on_key) {
    const ssize_t typed = write(master, "q", 1);
    static_cast<void>(typed);
  } else {
    kill(pid, SIGTERM);
  }
  run.seconds = Seconds(Clock::now() - start);

  rusage usage{};
  int status = 0;
  pid_t reaped = 0;
  const auto give_up = Clock::now() + kEndPatience;
  while ((reaped = wait4(pid, &status, WNOHANG, &usage)) == 0) {
    if (Clock::now() > give_up) {
      std::fprintf(stderr, "%s did not end; killed\n", command.front().c_str());
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      close(master);
      return run;
    }
    Drain(master, 1, markers);
  }
  const auto drained_by = Clock::now() + kDrainPatience;
  while (Clock::now() < drained_by && Drain(master, 20, markers)) {
  }
  close(master);

  run.ok = reaped == pid;
  run.status = status;
  run.cpu_seconds = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  run.switches = usage.ru_nvcsw;
  if (output == Output::kTerminal) run.lines = markers.count;
  if (output == Output::kFile) run.lines = CountInFile(file);
  return run;
}

// ---- The benchmark ----------------------------------------------------------

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

struct Sample {
  double rate = 0;     // readings (passes) per second
  double cpu_per = 0;  // CPU seconds per reading
};

// Per output, the samples of every subject and the ratios within each round.
struct Results {
  std::vector<Sample> samples[kOutputCount][kSubjectCount];
  std::vector<double> times_bare[kOutputCount];
  std::vector<double> times_skeleton[kOutputCount];
  std::vector<double> cpu_times_skeleton[kOutputCount];
  double calls[kOutputCount][kSubjectCount] = {};  // per reading; < 0: not measured
  double worst_mismatch = 0;                       // voluntary switches against readings seen
};

long Readings(Subject subject, const Run& run) {
  return subject == Subject::kBareLoop || run.lines < 0 ? run.switches : run.lines;
}

bool Ended(Subject subject, const Run& run) {
  if (!run.ok) return false;
  if (subject == Subject::kBareLoop) return WIFSIGNALED(run.status);
  return WIFEXITED(run.status) && WEXITSTATUS(run.status) == 1;
}

bool RunRound(int round, const Settings& settings, const std::string& file, Results& results) {
  for (int o = 0; o < kOutputCount; ++o) {
    Sample samples[kSubjectCount];
    for (int turn = 0; turn < kSubjectCount; ++turn) {
      const int s = (round + o + turn) % kSubjectCount;
      const Subject subject = kSubjects[s];
      const Run run = RunUnderTerminal({PathOf(subject)}, kOutputs[o], settings.seconds,
                                       subject != Subject::kBareLoop, file);
      if (!Ended(subject, run)) {
        std::fprintf(stderr, "%s on %s did not end as it should (status %d)\n", NameOf(subject),
                     NameOf(kOutputs[o]), run.status);
        return false;
      }
      const long readings = Readings(subject, run);
      if (readings <= 0) return false;
      samples[s].rate = static_cast<double>(readings) / run.seconds;
      samples[s].cpu_per = run.cpu_seconds / static_cast<double>(readings);
      if (subject != Subject::kBareLoop && run.lines > 0) {
        const double mismatch = std::abs(static_cast<double>(run.switches - run.lines)) /
                                static_cast<double>(run.lines);
        results.worst_mismatch = std::max(results.worst_mismatch, mismatch);
      }
      results.samples[o][s].push_back(samples[s]);
      std::fprintf(stderr, "round %d  %-9s  %-9s  %7.1f /s  %6.2f us CPU each  (%ld readings)\n",
                   round + 1, NameOf(kOutputs[o]), NameOf(subject), samples[s].rate,
                   samples[s].cpu_per * 1e6, readings);
    }
    const Sample& bcdmon = samples[static_cast<int>(Subject::kBcdmon)];
    const Sample& bare = samples[static_cast<int>(Subject::kBareLoop)];
    const Sample& skeleton = samples[static_cast<int>(Subject::kSkeleton)];
    results.times_bare[o].push_back(bcdmon.rate / bare.rate);
    results.times_skeleton[o].push_back(bcdmon.rate / skeleton.rate);
    results.cpu_times_skeleton[o].push_back(bcdmon.cpu_per / skeleton.cpu_per);
  }
  return true;
}

std::string FindInPath(const char* name) {
  const char* path = std::getenv("PATH");
  std::istringstream directories(path != nullptr ? path : "/usr/bin:/bin");
  std::string directory;
  while (std::getline(directories, directory, ':')) {
    std::string candidate = directory + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

struct CallCount {
  long total = 0;
  long sleeps = 0;  // clock_nanosleep
};

// The summary strace -c writes: a row per system call, "calls" its fourth
// column and the call's name the last, and a "total" row.
CallCount ParseStraceSummary(const std::string& path) {
  CallCount count;
  std::ifstream report(path);
  std::string line;
  while (std::getline(report, line)) {
    std::istringstream row(line);
    std::vector<std::string> words;
    for (std::string word; row >> word;) words.push_back(word);
    if (words.size() < 5 || words[0].find_first_not_of("0123456789.") != std::string::npos) {
      continue;
    }
    const long calls = std::strtol(words[3].c_str(), nullptr, 10);
    if (words.back() == "total") count.total = calls;
    if (words.back() == "clock_nanosleep") count.sleeps = calls;
  }
  return count;
}

// System calls per reading: the calls of a long run beyond those of a short
// one, over the readings beyond. Where the output cannot be seen, the 1 ms
// sleeps count the readings, one each.
double CallsPerReading(const std::string& strace, Subject subject, Output output,
                       const Settings& settings, const std::string& file) {
  const std::string report = file + ".strace";
  long calls[2] = {};
  long readings[2] = {};
  const double durations[2] = {kShortStraceSeconds, settings.strace_seconds};
  for (int i = 0; i < 2; ++i) {
    const Run run = RunUnderTerminal({strace, "-c", "-o", report, "--", PathOf(subject)}, output,
                                     durations[i], true, file);
    const CallCount count = ParseStraceSummary(report);
    if (!run.ok || count.total == 0) return -1;
    calls[i] = count.total;
    readings[i] = run.lines >= 0 ? run.lines : count.sleeps;
  }
  if (readings[1] <= readings[0]) return -1;
  return static_cast<double>(calls[1] - calls[0]) / static_cast<double>(readings[1] - readings[0]);
}

std::string Fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Calls(double calls) { return calls < 0 ? "n/a" : Fixed(calls, 3); }

void PrintMachine(const Settings& settings, const char* when) {
  utsname system{};
  uname(&system);
  double load[3] = {};
  getloadavg(load, 3);
  std::printf("%s: Linux %s, %ld CPUs, load average %.2f %.2f %.2f; %d rounds of %.1f s\n\n", when,
              system.release, sysconf(_SC_NPROCESSORS_ONLN), load[0], load[1], load[2],
              settings.rounds, settings.seconds);
}

bool Met(const Results& results, int o) {
  const int b = static_cast<int>(Subject::kBcdmon);
  const double limit =
      kOutputs[o] == Output::kFile ? kMaxCallsBuffered : kMaxCallsOnCharacterDevice;
  return Median(results.times_bare[o]) >= kMinTimesBareLoop &&
         Median(results.times_skeleton[o]) >= kMinTimesSkeleton &&
         Median(results.cpu_times_skeleton[o]) <= kMaxCpuTimesSkeleton &&
         results.calls[o][b] >= 0 && results.calls[o][b] <= limit;
}

void PrintTables(const Results& results) {
  const auto rate = [&](int o, Subject s) {
    std::vector<double> values;
    for (const Sample& sample : results.samples[o][static_cast<int>(s)])
      values.push_back(sample.rate);
    return Median(values);
  };
  const auto cpu = [&](int o, Subject s) {
    std::vector<double> values;
    for (const Sample& sample : results.samples[o][static_cast<int>(s)]) {
      values.push_back(sample.cpu_per * 1e6);
    }
    return Median(values);
  };
  std::printf(
      "\n| output | readings/s | × bare loop | × skeleton | CPU µs/reading | × skeleton "
      "| syscalls/reading | targets |\n|---|---|---|---|---|---|---|---|\n");
  for (int o = 0; o < kOutputCount; ++o) {
    std::printf("| %s | %.1f | %.3f | %.3f | %.2f | %.2f | %s | %s |\n", NameOf(kOutputs[o]),
                rate(o, Subject::kBcdmon), Median(results.times_bare[o]),
                Median(results.times_skeleton[o]), cpu(o, Subject::kBcdmon),
                Median(results.cpu_times_skeleton[o]),
                Calls(results.calls[o][static_cast<int>(Subject::kBcdmon)]).c_str(),
                Met(results, o) ? "met" : "**not met**");
  }
  std::printf(
      "\nBaselines, same run:\n\n| output | bare loop passes/s | skeleton passes/s "
      "| skeleton CPU µs/pass | skeleton syscalls/pass |\n|---|---|---|---|---|\n");
  for (int o = 0; o < kOutputCount; ++o) {
    std::printf("| %s | %.1f | %.1f | %.2f | %s |\n", NameOf(kOutputs[o]),
                rate(o, Subject::kBareLoop), rate(o, Subject::kSkeleton),
                cpu(o, Subject::kSkeleton),
                Calls(results.calls[o][static_cast<int>(Subject::kSkeleton)]).c_str());
  }
  std::printf(
      "\nTargets: readings/s ≥ %.2f × bare loop and ≥ %.2f × skeleton; CPU ≤ %.1f × skeleton; "
      "syscalls ≤ %.0f on a character device (terminal, /dev/null), ≤ %.2f to a file or a pipe.\n",
      kMinTimesBareLoop, kMinTimesSkeleton, kMaxCpuTimesSkeleton, kMaxCallsOnCharacterDevice,
      kMaxCallsBuffered);
  std::printf(
      "Readings counted in the output on the terminal and in the file, by voluntary context "
      "switches on /dev/null (worst disagreement of the two where both are seen: %.2f %%).\n",
      results.worst_mismatch * 100);
}

int Benchmark(const Settings& settings, const std::string& file) {
  PrintMachine(settings, "Start");
  Results results;
  for (int round = 0; round < settings.rounds; ++round) {
    if (!RunRound(round, settings, file, results)) return 2;
  }
  const std::string strace = FindInPath("strace");
  for (int o = 0; o < kOutputCount; ++o) {
    for (const Subject subject : {Subject::kSkeleton, Subject::kBcdmon}) {
      results.calls[o][static_cast<int>(subject)] =
          strace.empty() ? -1 : CallsPerReading(strace, subject, kOutputs[o], settings, file);
    }
  }
  PrintMachine(settings, "End");
  PrintTables(results);
  return 0;
}

// ---- The soak ---------------------------------------------------------------

long ResidentKilobytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

long OpenFiles(pid_t pid) {
  std::error_code error;
  long count = 0;
  for (fs::directory_iterator entry("/proc/" + std::to_string(pid) + "/fd", error), end;
       !error && entry != end; entry.increment(error)) {
    ++count;
  }
  return error ? -1 : count;
}

int Soak(const Settings& settings, const std::string& file) {
  std::vector<long> memory;
  std::vector<long> files;
  std::printf("| time s | VmRSS kB | open files |\n|---|---|---|\n");
  const Tick sample = [&](pid_t pid, double elapsed) {
    memory.push_back(ResidentKilobytes(pid));
    files.push_back(OpenFiles(pid));
    std::printf("| %.0f | %ld | %ld |\n", elapsed, memory.back(), files.back());
    std::fflush(stdout);
  };
  const Run run = RunUnderTerminal({BCDMON_PATH}, Output::kTerminal, settings.soak_seconds, true,
                                   file, sample, settings.every);
  if (memory.size() < 2) {
    std::printf("too few samples\n");
    return 2;
  }
  const bool ended = run.ok && WIFEXITED(run.status) && WEXITSTATUS(run.status) == 1;
  // The first sample may see pages not yet touched; from the second on,
  // nothing may grow.
  const long settled_memory = memory[1];
  const long most_memory = *std::max_element(memory.begin() + 1, memory.end());
  const long most_files = *std::max_element(files.begin(), files.end());
  const bool flat = most_memory == settled_memory && most_files == files.front();
  std::printf(
      "\n%.0f s, %ld readings; VmRSS %ld kB at %.0f s, at most %ld kB after; open files %ld to "
      "%ld; ended by the key with status 1: %s; flat: %s\n",
      run.seconds, run.lines, settled_memory, 2 * settings.every, most_memory, files.front(),
      most_files, ended ? "yes" : "no", flat ? "yes" : "no");
  return ended && flat ? 0 : 1;
}

bool ParseArguments(int argc, char** argv, Settings& settings) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const double value = std::strtod(argv[i + 1], nullptr);
    if (value <= 0) return false;
    if (name == "--rounds") {
      settings.rounds = static_cast<int>(value);
    } else if (name == "--seconds") {
      settings.seconds = value;
    } else if (name == "--strace-seconds") {
      settings.strace_seconds = value;
    } else if (name == "--soak") {
      settings.soak_seconds = value;
    } else if (name == "--every") {
      settings.every = value;
    } else {
      return false;
    }
  }
  return argc % 2 == 1;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (!ParseArguments(argc, argv, settings)) {
    std::fprintf(stderr,
                 "usage: %s [--rounds N] [--seconds S] [--strace-seconds S]\n"
                 "       %s --soak SECONDS [--every SECONDS]\n",
                 argv[0], argv[0]);
    return 2;
  }
  std::string directory = (fs::temp_directory_path() / "bcdmon-bench-XXXXXX").string();
  if (mkdtemp(directory.data()) == nullptr) {
    std::perror("mkdtemp");
    return 2;
  }
  const std::string file = directory + "/stdout";
  const int status = settings.soak_seconds > 0 ? Soak(settings, file) : Benchmark(settings, file);
  std::error_code ignored;
  fs::remove_all(directory, ignored);
  return status;
}
