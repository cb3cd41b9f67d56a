// The program with its standard output on the terminal it is watching.
#include <csignal>
#include <string>

#include "tests/e2e/harness.h"

namespace e2e {
namespace {

const char kCalls[] = "OpenPort 888\nConfigPort 888 137\n";

std::string CallsFor(std::size_t reads) {
  std::string calls = kCalls;
  for (std::size_t i = 0; i < reads; ++i) calls += "ReadPort 888\n";
  return calls + "ClosePort\n";
}

std::string TranscriptFor(std::size_t reads, long value) {
  std::string text = kHeader;
  for (std::size_t i = 0; i < reads; ++i) text += Reading(value);
  return ToTerminal(text + kTrailer);
}

TEST(TerminalTest, OpeningMessageIsShownWhileTheOpenIsUnderWay) {
  Options options;
  options.hold = true;
  Program run(options);
  ASSERT_TRUE(run.WaitForTerminal("\r\nOpening Port..."));
  ASSERT_TRUE(run.WaitFor([&] { return !run.Log().empty(); }, "the OpenPort call"));
  EXPECT_EQ(run.Log(), "OpenPort 888\n");
  EXPECT_EQ(run.terminal(), "\r\nOpening Port...");

  run.Release();
  ASSERT_TRUE(run.WaitForTerminal("Passed"));
  ASSERT_TRUE(run.WaitForReads(1));
  run.Type("q");
  EXPECT_TRUE(ExitedWith(run.Wait(), 1));
  EXPECT_EQ(run.Terminal(), TranscriptFor(run.ReadCount(), 0));
}

struct Key {
  const char* name;
  const char* bytes;
  NAMED_CASE(Key)
};

class KeyTest : public testing::TestWithParam<Key> {};

TEST_P(KeyTest, EndsTheRunAndIsLeftForTheShell) {
  const std::string key = GetParam().bytes;
  Program run(Options{});
  ASSERT_TRUE(run.WaitForReads(3));
  run.Type(key);
  // Not on: a terminal Ctrl-S stopped would hold the rest of the test too.
  ASSERT_TRUE(ExitedWith(run.Wait(), 1));
  const std::size_t reads = run.ReadCount();
  EXPECT_GE(reads, 3U);
  EXPECT_EQ(run.Log(), CallsFor(reads));
  EXPECT_EQ(run.Terminal(), TranscriptFor(reads, 0));
  ASSERT_TRUE(SameMode(run.mode_before(), run.Mode()));
  EXPECT_EQ(run.TakeInput(key.size()), key);
}

INSTANTIATE_TEST_SUITE_P(Keys, KeyTest,
                         testing::Values(Key{"Letter", "q"}, Key{"ArrowUp", "\x1b[A"},
                                         Key{"F5", "\x1b[15~"},
                                         // Not taken by the terminal's flow control.
                                         Key{"CtrlS", "\x13"}, Key{"CtrlQ", "\x11"}),
                         ByName());

// How a run is ended during monitoring: typed bytes, a signal sent to it, or
// the driver crashing at a reading after the first key check. A crash comes
// too soon to look at the mode first; the first key check sets it before the
// second reading.
struct Ending {
  const char* name;
  const char* typed;            // null: send `signal`
  int signal;                   // 0: a normal end, exit status 1
  const char* crash = nullptr;  // ZEPTEST_CRASH; then `signal` is the one it raises
  bool adjusting_terminal = false;
  NAMED_CASE(Ending)
};

class ModeTest : public testing::TestWithParam<Ending> {};

TEST_P(ModeTest, IsMonitoringDuringTheRunAndRestoredAfter) {
  const Ending ending = GetParam();
  Options options;
  options.crash = ending.crash;
  options.adjusting_terminal = ending.adjusting_terminal;
  Program run(options);
  if (ending.crash == nullptr) {
    ASSERT_TRUE(run.WaitForMonitoringMode());
    const termios monitoring = run.Mode();
    EXPECT_EQ(monitoring.c_lflag & ECHO, 0U);
    EXPECT_NE(monitoring.c_lflag & ISIG, 0U);
    EXPECT_NE(monitoring.c_oflag & OPOST, 0U);
    if (ending.typed != nullptr) {
      run.Type(ending.typed);
    } else {
      run.Signal(ending.signal);
    }
  }
  if (ending.signal == 0) {
    EXPECT_TRUE(ExitedWith(run.Wait(), 1));
    EXPECT_TRUE(EndsWith(run.Terminal(), "\r\nClosing port...done\r\n\r\n"));
    EXPECT_TRUE(EndsWith(run.Log(), "ReadPort 888\nClosePort\n"));
  } else {
    EXPECT_TRUE(KilledBy(run.Wait(), ending.signal));
    EXPECT_EQ(run.Terminal().find("Closing port"), std::string::npos);
    EXPECT_EQ(run.Log().find("ClosePort"), std::string::npos);
  }
  if (ending.crash != nullptr) {
    EXPECT_EQ(run.ReadCount(), std::stoul(ending.crash));  // the crash was in that reading
  }
  EXPECT_TRUE(SameMode(run.mode_before(), run.Mode()));
}

INSTANTIATE_TEST_SUITE_P(
    Endings, ModeTest,
    testing::Values(Ending{"Key", "q", 0}, Ending{"CtrlC", "\x03", SIGINT},
                    Ending{"CtrlBackslash", "\x1c", SIGQUIT}, Ending{"Sigterm", nullptr, SIGTERM},
                    Ending{"Sighup", nullptr, SIGHUP}, Ending{"Sigpipe", nullptr, SIGPIPE},
                    Ending{"Sigusr1", nullptr, SIGUSR1}, Ending{"Sigalrm", nullptr, SIGALRM},
                    Ending{"Sigxcpu", nullptr, SIGXCPU}, Ending{"Sigabrt", nullptr, SIGABRT},
                    Ending{"Sigsegv", nullptr, SIGSEGV}, Ending{"Sigrtmin", nullptr, SIGRTMIN},
                    Ending{"Sigrtmax", nullptr, SIGRTMAX},
                    Ending{"BadPointer", nullptr, SIGSEGV, "3:pointer"},
                    Ending{"StackOverflow", nullptr, SIGSEGV, "3:stack"},
                    Ending{"BusError", nullptr, SIGBUS, "3:bus"},
                    Ending{"DivisionByZero", nullptr, SIGFPE, "3:divide"},
                    Ending{"IllegalInstruction", nullptr, SIGILL, "3:illegal"},
                    Ending{"Abort", nullptr, SIGABRT, "3:abort"},
                    // The terminal adjusts the mode it is given.
                    Ending{"KeyOnAnAdjustingTerminal", "q", 0, nullptr, true}),
    ByName());

// A program sharing the terminal (`bcdmon | less`) set a mode of its own
// during the run, and puts back what it found when it ends: bcdmon leaves that
// mode alone, whichever signal ends or stops it. As a shell's job, so that
// Ctrl-Z stops it.
class SharedTerminalTest : public testing::TestWithParam<Ending> {};

TEST_P(SharedTerminalTest, LeavesTheModeAnotherProgramSet) {
  const Ending ending = GetParam();
  Options options;
  options.session = Session::kForegroundJob;
  Program run(options);
  ASSERT_TRUE(run.WaitForMonitoringMode());
  termios pagers = run.Mode();
  pagers.c_iflag &= ~static_cast<tcflag_t>(ICRNL);
  ASSERT_NO_FATAL_FAILURE(run.SetMode(pagers));
  if (ending.typed != nullptr) {
    run.Type(ending.typed);
  } else {
    run.Signal(ending.signal);
  }
  const std::optional<int> status = run.Wait(/*stops=*/true);
  if (ending.signal == SIGTSTP) {
    EXPECT_TRUE(status.has_value() && WIFSTOPPED(*status));
  } else {
    EXPECT_TRUE(KilledBy(status, ending.signal));
  }
  EXPECT_TRUE(SameMode(pagers, run.Mode()));
}

INSTANTIATE_TEST_SUITE_P(Endings, SharedTerminalTest,
                         testing::Values(Ending{"CtrlC", "\x03", SIGINT},
                                         Ending{"CtrlZ", "\x1a", SIGTSTP},
                                         Ending{"Sigpipe", nullptr, SIGPIPE}),
                         ByName());

// Keys typed while that other program holds the terminal are its own: the run
// goes on. Once it puts back the mode it found, the monitoring mode, the key
// still waiting ends the run, and the user's mode comes back.
TEST(TerminalTest, KeysAreAnotherProgramsWhileItHoldsTheTerminal) {
  Program run(Options{});
  ASSERT_TRUE(run.WaitForMonitoringMode());
  const termios monitoring = run.Mode();
  termios pagers = monitoring;
  pagers.c_iflag &= ~static_cast<tcflag_t>(ICRNL);
  ASSERT_NO_FATAL_FAILURE(run.SetMode(pagers));
  run.Type("q");
  ASSERT_TRUE(run.WaitForReads(run.ReadCount() + 100));
  ASSERT_NO_FATAL_FAILURE(run.SetMode(monitoring));
  EXPECT_TRUE(ExitedWith(run.Wait(), 1));
  EXPECT_TRUE(SameMode(run.mode_before(), run.Mode()));
  EXPECT_EQ(run.TakeInput(1), "q");
}

// As a shell's foreground job, so that the terminal's stop applies in full.
TEST(TerminalTest, CtrlZGivesTheTerminalBackAndContinueTakesItAgain) {
  Options options;
  options.session = Session::kForegroundJob;
  Program run(options);
  ASSERT_TRUE(run.WaitForMonitoringMode());
  run.Type("\x1a");
  const std::optional<int> stopped = run.Wait(/*stops=*/true);
  ASSERT_TRUE(stopped.has_value());
  ASSERT_TRUE(WIFSTOPPED(*stopped)) << "status " << *stopped;
  EXPECT_TRUE(SameMode(run.mode_before(), run.Mode()));

  run.Signal(SIGCONT);
  ASSERT_TRUE(run.WaitForMonitoringMode());
  ASSERT_TRUE(run.WaitForReads(run.ReadCount() + 3));
  run.Type("q");
  EXPECT_TRUE(ExitedWith(run.Wait(), 1));
  EXPECT_TRUE(EndsWith(run.Terminal(), "\r\nClosing port...done\r\n\r\n"));
  EXPECT_TRUE(SameMode(run.mode_before(), run.Mode()));
}

// A job in a background process group may not set the terminal's mode; it
// must neither be stopped for trying (SIGTTOU) nor take the keys typed.
TEST(TerminalTest, InTheBackgroundLeavesTheTerminalAlone) {
  Options options;
  options.session = Session::kBackgroundJob;
  Program run(options);
  ASSERT_TRUE(run.WaitForReads(20));
  EXPECT_TRUE(SameMode(run.mode_before(), run.Mode()));

  run.Type("q");
  ASSERT_TRUE(run.WaitForTerminal("q"));  // echoed: the key is in the terminal's input
  ASSERT_TRUE(run.WaitForReads(run.ReadCount() + 100));
  EXPECT_FALSE(run.saw_stop());
  EXPECT_TRUE(SameMode(run.mode_before(), run.Mode()));

  run.Signal(SIGTERM);
  EXPECT_TRUE(KilledBy(run.Wait(), SIGTERM));
  EXPECT_FALSE(run.saw_stop());
  EXPECT_EQ(run.Log().find("ClosePort"), std::string::npos);
  EXPECT_TRUE(SameMode(run.mode_before(), run.Mode()));
  EXPECT_EQ(run.TakeInput(1), "q");
}

}  // namespace
}  // namespace e2e
