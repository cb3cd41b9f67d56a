#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

#include "monitor/monitor.h"
#include "tests/fakes.h"

namespace {

using Calls = std::vector<std::string>;

class MonitorRunTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::Reset(); }
  fake::World& world() { return fake::world(); }
};

std::ptrdiff_t Count(const Calls& calls, const std::string& call) {
  return std::count(calls.begin(), calls.end(), call);
}

TEST_F(MonitorRunTest, NormalRunMakesEveryCallInOrderAndReturnsOne) {
  world().reads = {0x00, 0x59, 0x99};
  world().key_on_call = 3;

  EXPECT_EQ(MonitorRun(), 1);

  const Calls expected = {
      "print:\nOpening Port...",
      "OpenPort(888)",
      "GiveUpPrivilege()",
      "print:Passed",
      "print:\nConfig Port....",
      "ConfigPort(888,137)",
      "print:done",
      "ReadPort(888)",
      "print:\nUnpacked BCD : 00",
      "Pause(1)",
      "KeyPending()",
      "ReadPort(888)",
      "print:\nUnpacked BCD : 59",
      "Pause(1)",
      "KeyPending()",
      "ReadPort(888)",
      "print:\nUnpacked BCD : 99",
      "Pause(1)",
      "KeyPending()",
      "print:\nClosing port...",
      "ClosePort()",
      "print:done\n\n",
  };
  EXPECT_EQ(world().calls, expected);
  EXPECT_EQ(world().output,
            "\nOpening Port...Passed\nConfig Port....done"
            "\nUnpacked BCD : 00\nUnpacked BCD : 59\nUnpacked BCD : 99"
            "\nClosing port...done\n\n");
}

TEST_F(MonitorRunTest, FailedOpenSaysFailedAndCallsNothingElse) {
  world().open_result = 0;

  EXPECT_EQ(MonitorRun(), 0);

  EXPECT_EQ(world().calls, (Calls{"print:\nOpening Port...", "OpenPort(888)", "print:Failed"}));
  EXPECT_EQ(world().output, "\nOpening Port...Failed");
}

TEST_F(MonitorRunTest, PrivilegeThatCannotBeGivenUpClosesThePortUnreadAndSaysFailed) {
  world().privilege_kept = true;

  EXPECT_EQ(MonitorRun(), 0);

  EXPECT_EQ(world().calls, (Calls{"print:\nOpening Port...", "OpenPort(888)", "GiveUpPrivilege()",
                                  "ClosePort()", "print:Failed"}));
  EXPECT_EQ(world().output, "\nOpening Port...Failed");
}

class AnyNonzeroOpenResult : public MonitorRunTest, public ::testing::WithParamInterface<int> {};

TEST_P(AnyNonzeroOpenResult, IsTakenAsSuccess) {
  world().open_result = GetParam();

  EXPECT_EQ(MonitorRun(), 1);

  EXPECT_EQ(Count(world().calls, "ConfigPort(888,137)"), 1);
  EXPECT_EQ(Count(world().calls, "ClosePort()"), 1);
}

INSTANTIATE_TEST_SUITE_P(Results, AnyNonzeroOpenResult,
                         ::testing::Values(1, 2, -1, INT_MIN, INT_MAX));

TEST_F(MonitorRunTest, KeyAlreadyWaitingGivesExactlyOneReading) {
  world().reads = {0x42};
  world().key_on_call = 1;

  EXPECT_EQ(MonitorRun(), 1);

  EXPECT_EQ(Count(world().calls, "ReadPort(888)"), 1);
  EXPECT_EQ(world().output,
            "\nOpening Port...Passed\nConfig Port....done\nUnpacked BCD : 42"
            "\nClosing port...done\n\n");
}

TEST_F(MonitorRunTest, ClosesThePortExactlyOnceAfterTheLastReading) {
  world().key_on_call = 50;

  MonitorRun();

  const Calls& calls = world().calls;
  EXPECT_EQ(Count(calls, "ClosePort()"), 1);
  EXPECT_EQ(Count(calls, "ReadPort(888)"), 50);
  const auto close = std::find(calls.begin(), calls.end(), "ClosePort()");
  EXPECT_EQ(std::find(close, calls.end(), "ReadPort(888)"), calls.end());
}

// Every byte, by a table of the characters each half shows as.
TEST_F(MonitorRunTest, ShowsAll256ReadingsAsTwoHalves) {
  const std::string half = "0123456789:;<=>?";
  world().reads.clear();
  std::string expected;
  for (int byte = 0; byte < 256; ++byte) {
    world().reads.push_back(byte);
    expected += "\nUnpacked BCD : ";
    expected += half[static_cast<std::size_t>(byte >> 4)];
    expected += half[static_cast<std::size_t>(byte & 0xF)];
  }
  world().key_on_call = 256;

  MonitorRun();

  const std::string header = "\nOpening Port...Passed\nConfig Port....done";
  const std::string trailer = "\nClosing port...done\n\n";
  EXPECT_EQ(world().output, header + expected + trailer);
}

struct WideReading {
  int result;
  const char* shown;
  friend std::ostream& operator<<(std::ostream& stream, const WideReading& reading) {
    return stream << reading.result << " shown as " << reading.shown;
  }
};

class BitsAboveTheByte : public MonitorRunTest,
                         public ::testing::WithParamInterface<WideReading> {};

TEST_P(BitsAboveTheByte, AreIgnored) {
  world().reads = {GetParam().result};

  MonitorRun();

  EXPECT_NE(world().output.find(std::string("\nUnpacked BCD : ") + GetParam().shown + "\n"),
            std::string::npos)
      << world().output;
}

INSTANTIATE_TEST_SUITE_P(Results, BitsAboveTheByte,
                         ::testing::Values(WideReading{0x259, "59"}, WideReading{0x1A3, ":3"},
                                           WideReading{-1, "??"}, WideReading{INT_MIN, "00"},
                                           WideReading{0x7FFFFF3C, "3<"}));

}  // namespace
