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

// Every write fails. The run goes on, writes nowhere else (a closed standard
// output must not become the next file opened, here the driver's log), and
// ends on the key.
class UnwritableOutputTest : public testing::TestWithParam<Out> {};

TEST_P(UnwritableOutputTest, RunGoesOnUntilTheKey) {
  Options options;
  options.out = GetParam();
  Program run(options);
  ASSERT_TRUE(run.WaitForReads(kSeveralBuffers));
  run.Type("q");
  EXPECT_TRUE(ExitedWith(run.Wait(), 1));
  EXPECT_EQ(run.Log(), CallsFor(run.ReadCount()));
  EXPECT_EQ(run.Terminal(), "");
  EXPECT_TRUE(SameMode(run.mode_before(), run.Mode()));
}

INSTANTIATE_TEST_SUITE_P(Outputs, UnwritableOutputTest, testing::Values(Out::kFull, Out::kClosed),
                         OutName);

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

// Failed writes are not looked at: with SIGPIPE ignored by whoever started
// it, the run goes on until the key, as it does on a full device.
TEST(ReaderGoneTest, WithSigpipeIgnoredTheRunGoesOnUntilTheKey) {
  Options options;
  options.out = Out::kPipe;
  options.sigpipe_ignored = true;
  Program run(options);
  ASSERT_NO_FATAL_FAILURE(ReaderTakesThreeAndGoes(run));
  ASSERT_TRUE(run.WaitForReads(run.ReadCount() + kSeveralBuffers));
  run.Type("q");
  EXPECT_TRUE(ExitedWith(run.Wait(), 1));
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
