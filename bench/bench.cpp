// How close bcdmon comes to its pace of one reading per 1 ms pause.
//
// Each subject runs through the end-to-end tests' harness (e2e::Program)
// under a pseudo-terminal that is its controlling terminal, with standard
// output on that terminal, in a file or on /dev/null, for a fixed time; then
// a key is typed (the bare loop, which looks at no key, is terminated). The
// terminal is read in batches, not at every write, so that the reader's
// wake-ups take as little as they can from the subject on a 2-core machine.
// The harness reaps the subject with wait4, whose resource usage gives its
// CPU time and its voluntary context switches: each blocking 1 ms sleep is
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
#include <sys/resource.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/harness.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using e2e::Out;

enum class Subject { kBareLoop, kSkeleton, kBcdmon };

constexpr Subject kSubjects[] = {Subject::kBareLoop, Subject::kSkeleton, Subject::kBcdmon};
constexpr Out kOutputs[] = {Out::kTerminal, Out::kFile, Out::kNull};
constexpr int kSubjectCount = 3;
constexpr int kOutputCount = 3;

constexpr char kMarker[] = "Unpacked BCD";  // once in every reading's line
constexpr double kShortStraceSeconds = 0.5;
// How often the subject's terminal is read: in batches, as said above.
constexpr int kReadEveryMs = 10;

// Targets for bcdmon, measured against the skeleton of the same run, which
// makes bcdmon's own system calls and so sets the pace it can reach. The
// bare loop sets none: how much its default timer slack slows it differs
// from kernel to kernel.
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

// The output as the tables name it.
const char* RowName(Out output) {
  switch (output) {
    case Out::kTerminal:
      return "terminal";
    case Out::kFile:
      return "file";
    case Out::kNull:
      return "/dev/null";
    default:
      return "?";
  }
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

Clock::duration Duration(double seconds) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

long CountReadings(const std::string& text) {
  long count = 0;
  for (std::size_t at = text.find(kMarker); at != std::string::npos;
       at = text.find(kMarker, at + 1)) {
    ++count;
  }
  return count;
}

// The subject where it lies, bound to the driver beside it, with standard
// output as asked; run through `wrapper`, if any.
e2e::Options OptionsFor(Subject subject, Out output, std::vector<std::string> wrapper = {}) {
  e2e::Options options;
  options.program = PathOf(subject);
  options.driver = e2e::Driver::kNone;
  options.out = output;
  options.wrapper = std::move(wrapper);
  return options;
}

struct Run {
  bool ok = false;
  double seconds = 0;      // from the start to the key
  double cpu_seconds = 0;  // user and system
  long switches = 0;       // voluntary context switches
  long lines = -1;         // readings seen in the output; -1: not visible
  int status = 0;
};

using Tick = std::function<void(pid_t, double)>;

// Reads the program's terminal in batches until `until`, and calls `tick`
// every `every` seconds from `start`, if there is a tick.
void Watch(e2e::Program& program, Clock::time_point start, Clock::time_point until,
           const Tick& tick, double every) {
  auto next_tick = start + Duration(every);
  for (auto now = Clock::now(); now < until; now = Clock::now()) {
    if (tick && now >= next_tick) {
      tick(program.pid(), Seconds(now - start));
      next_tick += Duration(every);
    }
    const auto stop = tick ? std::min(until, next_tick) : until;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(stop - now).count();
    program.ReadInBatches(static_cast<int>(left), kReadEveryMs);
  }
}

// Runs the subject `options` describe for `seconds`, then ends it with a key
// (or SIGTERM), waits for it and reports.
Run RunFor(const e2e::Options& options, double seconds, bool ends_on_key, const Tick& tick = {},
           double every = 0) {
  Run run;
  const auto start = Clock::now();
  e2e::Program program(options);
  if (program.pid() <= 0) return run;  // the harness said why
  Watch(program, start, start + Duration(seconds), tick, every);
  if (ends_on_key) {
    program.Type("q");
  } else {
    program.Signal(SIGTERM);
  }
  run.seconds = Seconds(Clock::now() - start);
  const std::optional<int> status = program.Wait();
  const std::optional<rusage> usage = program.Usage();
  if (!status || !usage) return run;
  run.ok = true;
  run.status = *status;
  run.cpu_seconds = Seconds(usage->ru_utime) + Seconds(usage->ru_stime);
  run.switches = usage->ru_nvcsw;
  if (options.out == Out::kTerminal || options.out == Out::kFile) {
    run.lines = CountReadings(program.Output());
  }
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

bool RunRound(int round, const Settings& settings, Results& results) {
  for (int o = 0; o < kOutputCount; ++o) {
    Sample samples[kSubjectCount];
    for (int turn = 0; turn < kSubjectCount; ++turn) {
      const int s = (round + o + turn) % kSubjectCount;
      const Subject subject = kSubjects[s];
      const Run run =
          RunFor(OptionsFor(subject, kOutputs[o]), settings.seconds, subject != Subject::kBareLoop);
      if (!Ended(subject, run)) {
        std::fprintf(stderr, "%s on %s did not end as it should (status %d)\n", NameOf(subject),
                     RowName(kOutputs[o]), run.status);
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
                   round + 1, RowName(kOutputs[o]), NameOf(subject), samples[s].rate,
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
double CallsPerReading(const std::string& strace, Subject subject, Out output,
                       const Settings& settings, const std::string& report) {
  long calls[2] = {};
  long readings[2] = {};
  const double durations[2] = {kShortStraceSeconds, settings.strace_seconds};
  for (int i = 0; i < 2; ++i) {
    const Run run =
        RunFor(OptionsFor(subject, output, {strace, "-c", "-o", report, "--"}), durations[i], true);
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
  const double limit = kOutputs[o] == Out::kFile ? kMaxCallsBuffered : kMaxCallsOnCharacterDevice;
  return Median(results.times_skeleton[o]) >= kMinTimesSkeleton &&
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
    std::printf("| %s | %.1f | %.3f | %.3f | %.2f | %.2f | %s | %s |\n", RowName(kOutputs[o]),
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
    std::printf("| %s | %.1f | %.1f | %.2f | %s |\n", RowName(kOutputs[o]),
                rate(o, Subject::kBareLoop), rate(o, Subject::kSkeleton),
                cpu(o, Subject::kSkeleton),
                Calls(results.calls[o][static_cast<int>(Subject::kSkeleton)]).c_str());
  }
  std::printf(
      "\nTargets: readings/s ≥ %.2f × skeleton; CPU ≤ %.1f × skeleton; syscalls ≤ %.0f on a "
      "character device (terminal, /dev/null), ≤ %.2f to a file or a pipe. The bare loop is "
      "shown, not judged: how much its default timer slack slows it differs from kernel to "
      "kernel.\n",
      kMinTimesSkeleton, kMaxCpuTimesSkeleton, kMaxCallsOnCharacterDevice, kMaxCallsBuffered);
  std::printf(
      "Readings counted in the output on the terminal and in the file, by voluntary context "
      "switches on /dev/null (worst disagreement of the two where both are seen: %.2f %%).\n",
      results.worst_mismatch * 100);
}

int Benchmark(const Settings& settings, const std::string& report) {
  PrintMachine(settings, "Start");
  Results results;
  for (int round = 0; round < settings.rounds; ++round) {
    if (!RunRound(round, settings, results)) return 2;
  }
  const std::string strace = FindInPath("strace");
  for (int o = 0; o < kOutputCount; ++o) {
    for (const Subject subject : {Subject::kSkeleton, Subject::kBcdmon}) {
      results.calls[o][static_cast<int>(subject)] =
          strace.empty() ? -1 : CallsPerReading(strace, subject, kOutputs[o], settings, report);
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

int Soak(const Settings& settings) {
  std::vector<long> memory;
  std::vector<long> files;
  std::printf("| time s | VmRSS kB | open files |\n|---|---|---|\n");
  const Tick sample = [&](pid_t pid, double elapsed) {
    memory.push_back(ResidentKilobytes(pid));
    files.push_back(OpenFiles(pid));
    std::printf("| %.0f | %ld | %ld |\n", elapsed, memory.back(), files.back());
    std::fflush(stdout);
  };
  const Run run = RunFor(OptionsFor(Subject::kBcdmon, Out::kTerminal), settings.soak_seconds, true,
                         sample, settings.every);
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
  const std::string report = directory + "/strace";
  const int status = settings.soak_seconds > 0 ? Soak(settings) : Benchmark(settings, report);
  std::error_code ignored;
  fs::remove_all(directory, ignored);
  return status;
}
