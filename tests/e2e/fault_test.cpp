// Faults met in use: standard output that takes nothing, a pipe whose reader
// goes away, both standard streams redirected; and the run under valgrind.
#include <csignal>
#include <string>

#include "tests/e2e/harness.h"

namespace e2e {
namespace {

// More readings than two full 4096-byte buffers of output.
constexpr std::size_t kSeveralBuffers = 500;

std::string CallsFor(std::size_t reads) {
  std::string calls = "OpenPort 888\nConfigPort 888 137\n";
  for (std::size_t i = 0; i < reads; ++i) calls += "ReadPort 888\n";
  return calls + "ClosePort\n";
}

std::size_t ReadingsIn(const std::string& text) {
  std::size_t count = 0;
  for (std::size_t at = text.find("Unpacked"); at != std::string::npos;
       at = text.find("Unpacked", at + 1)) {
    ++count;
  }
  return count;
}

std::string OutName(const testing::TestParamInfo<Out>& param) { return NameOf(param.param); }

// Standard output takes nothing, or no more. /dev/full and a file that can
// grow no more (a full disk) end the run by themselves with status 2 and one
// line that names the error, the file cut back to its last whole reading. A
// closed standard output takes /dev/null's place, writes nowhere else (it
// must not become the next file opened, here the driver's log), and the run
// goes on until the key.
struct Unwritable {
  const char* name;
  Out out;
  Session session;
  rlim_t file_limit;
  const char* said;  // the line on standard error, from its start; null: a run until the key
  NAMED_CASE(Unwritable)
};

class UnwritableOutputTest : public testing::TestWithParam<Unwritable> {};

void ExpectARunUntilTheKey(Program& run) {
  ASSERT_TRUE(run.WaitForReads(kSeveralBuffers));
  run.Type("q");
  EXPECT_TRUE(ExitedWith(run.Wait(), 1));
  EXPECT_EQ(run.Log(), CallsFor(run.ReadCount()));
  EXPECT_EQ(run.Terminal(), "");
  EXPECT_TRUE(SameMode(run.mode_before(), run.Mode()));
}

void ExpectTheErrorToEndTheRun(Program& run, const Unwritable& unwritable) {
  EXPECT_TRUE(ExitedWith(run.Wait(), 2));
  const bool terminal = unwritable.session != Session::kNoTerminal;
  const std::string said = terminal ? FromTerminal(run.Terminal()) : run.Stderr();
  const std::string line = said.substr(said.find("bcdmon: "));
  EXPECT_EQ(line.rfind(unwritable.said, 0), 0U) << said;
  EXPECT_EQ(line.find('\n'), line.size() - 1) << said;
  // Left alone before the open; else closed after the last reading.
  EXPECT_TRUE(run.Log().empty() || EndsWith(run.Log(), "ReadPort 888\nClosePort\n")) << run.Log();
}

TEST_P(UnwritableOutputTest, EndsTheRunWithTheErrorOrGoesOnUntilTheKey) {
  const Unwritable unwritable = GetParam();
  Options options;
  options.out = unwritable.out;
  options.session = unwritable.session;
  options.file_limit = unwritable.file_limit;
  options.reads = "0x59";
  Program run(options);
  if (unwritable.said == nullptr) {
    ExpectARunUntilTheKey(run);
    return;
  }
  ExpectTheErrorToEndTheRun(run, unwritable);
  if (unwritable.out != Out::kFile) return;
  std::string whole = kHeader;
  while (whole.size() + Reading(0x59).size() <= unwritable.file_limit) whole += Reading(0x59);
  EXPECT_TRUE(SameText(whole + "\n", run.Output()));
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, UnwritableOutputTest,
    testing::Values(Unwritable{"Full", Out::kFull, Session::kLeader, RLIM_INFINITY,
                               "bcdmon: cannot write to standard output (No space left on device)"},
                    Unwritable{"FullWithoutTerminal", Out::kFull, Session::kNoTerminal,
                               RLIM_INFINITY,
                               "bcdmon: cannot write to standard output (No space left on device)"},
                    Unwritable{"FileThatCannotGrow", Out::kFile, Session::kNoTerminal, 10000,
                               "bcdmon: cannot write to standard output (File too large)"},
                    Unwritable{"Closed", Out::kClosed, Session::kLeader, RLIM_INFINITY, nullptr}),
    ByName());

// `bcdmon | head -3`: the reader takes three readings and goes.
void ReaderTakesThreeAndGoes(Program& run) {
  ASSERT_TRUE(run.WaitFor([&] { return ReadingsIn(run.piped()) >= 3; }, "three readings"));
  run.CloseOutputPipe();
}

TEST(ReaderGoneTest, EndsTheRunByItsSignalAndRestoresTheTerminal) {
  Options options;
  options.out = Out::kPipe;
  Program run(options);
  ASSERT_NO_FATAL_FAILURE(ReaderTakesThreeAndGoes(run));
  EXPECT_TRUE(KilledBy(run.Wait(), SIGPIPE));
  EXPECT_EQ(run.Log().find("ClosePort"), std::string::npos);
  EXPECT_TRUE(SameMode(run.mode_before(), run.Mode()));
}

// With SIGPIPE ignored by whoever started it, the run ends with status 2,
// the port closed, and says nothing, as tools keep quiet on a closed pipe.
TEST(ReaderGoneTest, WithSigpipeIgnoredTheRunEndsQuietlyWithStatusTwo) {
  Options options;
  options.out = Out::kPipe;
  options.sigpipe_ignored = true;
  Program run(options);
  ASSERT_NO_FATAL_FAILURE(ReaderTakesThreeAndGoes(run));
  EXPECT_TRUE(ExitedWith(run.Wait(), 2));
  EXPECT_TRUE(EndsWith(run.Log(), "ReadPort 888\nClosePort\n"));
  EXPECT_EQ(run.Terminal().find("bcdmon"), std::string::npos);
  EXPECT_TRUE(SameMode(run.mode_before(), run.Mode()));
}

// `bcdmon <file >file` typed at a terminal: the key is still seen there.
TEST(BothRedirectedTest, KeyIsSeenOnTheControllingTerminal) {
  Options options;
  options.out = Out::kFile;
  options.stdin_redirected = true;
  Program run(options);
  ASSERT_TRUE(run.WaitForMonitoringMode());
  ASSERT_TRUE(run.WaitForReads(3));
  run.Type("q");
  EXPECT_TRUE(ExitedWith(run.Wait(), 1));
  EXPECT_TRUE(EndsWith(run.Output(), kTrailer));
  EXPECT_TRUE(SameMode(run.mode_before(), run.Mode()));
  EXPECT_EQ(run.TakeInput(1), "q");
}

// Hundreds of readings under memcheck, on each kind of output: no error and
// nothing definitely lost (valgrind's status 99 says otherwise).
class MemcheckTest : public testing::TestWithParam<Out> {};

TEST_P(MemcheckTest, RunIsClean) {
  const std::string valgrind = VALGRIND_PATH;
  if (valgrind.empty()) GTEST_SKIP() << "no valgrind, or a sanitized build it cannot run";
  Options options;
  options.out = GetParam();
  options.wrapper = {valgrind, "--error-exitcode=99", "--leak-check=full",
                     "--errors-for-leak-kinds=definite", "--log-file=memcheck.log"};
  Program run(options);
  ASSERT_TRUE(run.WaitForReads(300));
  run.Type("q");
  EXPECT_TRUE(ExitedWith(run.Wait(), 1)) << run.File("memcheck.log");
  EXPECT_NE(run.File("memcheck.log").find("ERROR SUMMARY: 0 errors"), std::string::npos)
      << run.File("memcheck.log");
}

INSTANTIATE_TEST_SUITE_P(Outputs, MemcheckTest, testing::Values(Out::kTerminal, Out::kFile),
                         OutName);

}  // namespace
}  // namespace e2e
