// The program with its standard output redirected to a file or a pipe, the
// terminal still its console for the key; and with no terminal at all.
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"

namespace e2e {
namespace {

std::string OutName(const testing::TestParamInfo<Out>& param) { return NameOf(param.param); }

class OutputTest : public testing::TestWithParam<Out> {
 protected:
  bool OnTerminal() const { return GetParam() == Out::kTerminal; }
};

// A key typed while the open is held: one reading, then the end. The bytes
// are the same wherever standard output goes.
TEST_P(OutputTest, KeyTypedBeforeTheLoopGivesOneReading) {
  Options options;
  options.out = GetParam();
  options.hold = true;
  options.reads = "0x59";
  Program run(options);
  ASSERT_TRUE(run.WaitFor([&] { return run.Log() == "OpenPort 888\n"; }, "the OpenPort call"));
  run.Type("q");
  ASSERT_TRUE(run.WaitForTerminal("q"));  // echoed: the key is in the terminal's input
  run.Release();
  EXPECT_TRUE(ExitedWith(run.Wait(), 1));

  std::string output = run.Output();
  const std::string echoed = "\nOpening Port...q";
  if (OnTerminal()) {
    ASSERT_EQ(output.compare(0, echoed.size(), echoed), 0) << output;
    output.erase(echoed.size() - 1, 1);
  } else {
    EXPECT_EQ(run.Terminal(), "q");  // nothing of the program's
  }
  EXPECT_EQ(output,
            "\nOpening Port...Passed\nConfig Port....done\nUnpacked BCD : 59"
            "\nClosing port...done\n\n");
  EXPECT_EQ(run.Log(), "OpenPort 888\nConfigPort 888 137\nReadPort 888\nClosePort\n");
  ASSERT_TRUE(SameMode(run.mode_before(), run.Mode()));
  EXPECT_EQ(run.TakeInput(1), "q");
}

// Far more output than one buffer holds, and none of it lost at the end.
TEST_P(OutputTest, EveryReadingIsWrittenInOrder) {
  const std::vector<long> values = {0x00, 0x59, 0x99, 0xA3, 0x3C, 0xFF, 0x259};
  Options options;
  options.out = GetParam();
  options.reads = "0x00 0x59,0x99, 0xA3 0x3C 0xFF 0x259";
  Program run(options);
  ASSERT_TRUE(run.WaitForReads(300));
  run.Type("q");
  EXPECT_TRUE(ExitedWith(run.Wait(), 1));

  const std::size_t reads = run.ReadCount();
  std::string expected = kHeader;
  for (std::size_t i = 0; i < reads; ++i) expected += Reading(values[i % values.size()]);
  expected += kTrailer;
  const std::string output = run.Output();
  EXPECT_GT(output.size(), 4096U);
  EXPECT_TRUE(SameText(expected, output)) << reads << " reads";
  EXPECT_TRUE(EndsWith(run.Log(), "ReadPort 888\nClosePort\n"));
  EXPECT_TRUE(SameMode(run.mode_before(), run.Mode()));
}

TEST_P(OutputTest, FailedOpenIsWrittenInFull) {
  Options options;
  options.out = GetParam();
  options.open_result = "0";
  Program run(options);
  EXPECT_TRUE(ExitedWith(run.Wait(), 0));
  EXPECT_EQ(run.Output(), "\nOpening Port...Failed");
  if (!OnTerminal()) {
    EXPECT_EQ(run.Terminal(), "");
  }
  EXPECT_EQ(run.Log(), "OpenPort 888\n");
  EXPECT_TRUE(SameMode(run.mode_before(), run.Mode()));
}

INSTANTIATE_TEST_SUITE_P(Outputs, OutputTest,
                         testing::Values(Out::kTerminal, Out::kFile, Out::kPipe), OutName);

// Each message goes out as it is printed on a character device, a terminal or
// not (/dev/null), and into the buffer elsewhere. Seen while the open is held:
// what the program has written by then besides its driver's log line.
struct Sink {
  const char* name;
  Out out;
  bool each_message;
  NAMED_CASE(Sink)
};

class SinkTest : public testing::TestWithParam<Sink> {};

TEST_P(SinkTest, OpeningMessageIsWrittenAtOnceOnlyOnACharacterDevice) {
  Options options;
  options.out = GetParam().out;
  options.hold = true;
  Program run(options);
  const std::string logged = "OpenPort 888\n";
  ASSERT_TRUE(
      run.WaitFor([&] { return run.Log() == logged && run.BytesWritten() >= logged.size(); },
                  "the OpenPort call"));
  const std::string announcement = "\nOpening Port...";
  EXPECT_EQ(run.BytesWritten() - logged.size(), GetParam().each_message ? announcement.size() : 0U);
}

INSTANTIATE_TEST_SUITE_P(Outputs, SinkTest,
                         testing::Values(Sink{"Terminal", Out::kTerminal, true},
                                         Sink{"Null", Out::kNull, true},
                                         Sink{"File", Out::kFile, false},
                                         Sink{"Pipe", Out::kPipe, false}),
                         ByName());

// A parent may leave the pipe non-blocking. Its reader stalls for a second,
// long past the page the pipe holds: no reading is lost or torn.
TEST(StalledReaderTest, NonBlockingPipeGetsEveryReadingWhole) {
  Options options;
  options.out = Out::kPipe;
  options.nonblocking_pipe = true;
  options.reads = "0x59";
  Program run(options);
  run.StallOutput(true);
  ASSERT_TRUE(run.WaitForReads(300));
  const auto resume = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  run.WaitFor([&] { return std::chrono::steady_clock::now() >= resume; }, "the stall's end");
  run.StallOutput(false);
  ASSERT_TRUE(run.WaitForReads(run.ReadCount() + 300));
  run.Type("q");
  EXPECT_TRUE(ExitedWith(run.Wait(), 1));

  std::string expected = kHeader;
  for (std::size_t i = 0; i < run.ReadCount(); ++i) expected += Reading(0x59);
  EXPECT_TRUE(SameText(expected + kTrailer, run.Output())) << run.ReadCount() << " reads";
}

// The reader stops taking the output (`bcdmon | sleep 15`, or a terminal
// whose screen is not read) until the run is held up in a write. A key still
// ends the run: status 1, the mode restored, the key left for the shell.
class HeldUpOutputTest : public testing::TestWithParam<Out> {};

TEST_P(HeldUpOutputTest, KeyStillEndsTheRun) {
  Options options;
  options.out = GetParam();
  Program run(options);
  ASSERT_TRUE(run.WaitForMonitoringMode());
  run.StallOutput(true);
  std::size_t reads = 0;
  int unchanged = 0;
  ASSERT_TRUE(run.WaitFor(
      [&] {
        unchanged = run.ReadCount() == reads ? unchanged + 1 : 0;
        reads = run.ReadCount();
        return unchanged >= 20;
      },
      "the run held up"));
  run.Type("q");
  EXPECT_TRUE(ExitedWith(run.Wait(), 1));
  EXPECT_TRUE(EndsWith(run.Log(), "ReadPort 888\nClosePort\n"));
  EXPECT_TRUE(SameMode(run.mode_before(), run.Mode()));
  EXPECT_EQ(run.TakeInput(1), "q");
}

INSTANTIATE_TEST_SUITE_P(Outputs, HeldUpOutputTest, testing::Values(Out::kPipe, Out::kTerminal),
                         OutName);

// The terminal that shows the readings goes away while SIGHUP is ignored
// (`trap '' HUP`): the run ends with status 2, the port closed.
TEST(HangUpTest, EndsTheRunShownThereWithStatusTwo) {
  Options options;
  options.sighup_ignored = true;
  Program run(options);
  ASSERT_TRUE(run.WaitForMonitoringMode());
  run.HangUp();
  EXPECT_TRUE(ExitedWith(run.Wait(), 2));
  EXPECT_TRUE(EndsWith(run.Log(), "ReadPort 888\nClosePort\n"));
}

// Without a controlling terminal no key can ever be pending: it keeps reading.
TEST(NoTerminalTest, RunsUntilTerminated) {
  Options options;
  options.session = Session::kNoTerminal;
  options.out = Out::kFile;
  Program run(options);
  ASSERT_TRUE(run.WaitForReads(100));
  int status = 0;
  ASSERT_EQ(waitpid(run.pid(), &status, WNOHANG), 0) << "the program ended early";
  run.Signal(SIGTERM);
  EXPECT_TRUE(KilledBy(run.Wait(), SIGTERM));
  EXPECT_EQ(run.Log().find("ClosePort"), std::string::npos);
}

// Ended by a signal with standard output on a file or a pipe: the output
// holds every reading the driver logged, whole, but for one the signal may
// have caught in flight. A reader of a one-page pipe that stalled gets them
// if it is back within the second the run waits; one never back does not
// keep the run from ending.
enum class Reader { kReading, kBackSoon, kNeverBack };

struct SignalEnding {
  const char* name;
  Out out;
  Session session;
  int signal;
  Reader reader = Reader::kReading;
  NAMED_CASE(SignalEnding)
};

class SignalEndingTest : public testing::TestWithParam<SignalEnding> {};

TEST_P(SignalEndingTest, LosesNoReading) {
  const SignalEnding ending = GetParam();
  Options options;
  options.out = ending.out;
  options.session = ending.session;
  options.reads = "0x59";
  options.nonblocking_pipe = ending.reader != Reader::kReading;
  Program run(options);
  run.StallOutput(ending.reader != Reader::kReading);
  ASSERT_TRUE(run.WaitForReads(453));  // two buffers: one in a stalled pipe, one held up
  run.Signal(ending.signal);
  if (ending.reader == Reader::kBackSoon) {
    const auto back = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    run.WaitFor([&] { return std::chrono::steady_clock::now() >= back; }, "the stall's end");
    run.StallOutput(false);
  }
  EXPECT_TRUE(KilledBy(run.Wait(), ending.signal));
  if (ending.reader == Reader::kNeverBack) return;
  const std::size_t reads = run.ReadCount();
  std::string expected = kHeader;
  for (std::size_t i = 1; i < reads; ++i) expected += Reading(0x59);
  const std::string output = run.Output();
  if (output != expected) {
    EXPECT_TRUE(SameText(expected + Reading(0x59), output)) << reads << " reads";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Endings, SignalEndingTest,
    testing::Values(
        SignalEnding{"FileSigint", Out::kFile, Session::kLeader, SIGINT},
        SignalEnding{"FileSigtermWithoutTerminal", Out::kFile, Session::kNoTerminal, SIGTERM},
        SignalEnding{"PipeSigterm", Out::kPipe, Session::kLeader, SIGTERM},
        SignalEnding{"PipeSighupInTheBackground", Out::kPipe, Session::kBackgroundJob, SIGHUP},
        SignalEnding{"FileSigalrm", Out::kFile, Session::kLeader, SIGALRM},
        SignalEnding{"FileSigusr1WithoutTerminal", Out::kFile, Session::kNoTerminal, SIGUSR1},
        SignalEnding{"PipeSigusr2", Out::kPipe, Session::kLeader, SIGUSR2},
        SignalEnding{"FileSigrtminWithoutTerminal", Out::kFile, Session::kNoTerminal, SIGRTMIN},
        SignalEnding{"StalledReaderBackSoon", Out::kPipe, Session::kLeader, SIGTERM,
                     Reader::kBackSoon},
        SignalEnding{"StalledReaderNeverBack", Out::kPipe, Session::kLeader, SIGTERM,
                     Reader::kNeverBack}),
    ByName());

}  // namespace
}  // namespace e2e
