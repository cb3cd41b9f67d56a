// The simulated device, compiled into the test in place of the library.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "driver/port_driver.h"
#include "driver/simulated/clock.h"

namespace {

bool IsPackedBcd(int value) {
  return (value & ~0xFF) == 0 && value >> 4 <= 9 && (value & 0xF) <= 9;
}

TEST(SimulatedDevice, OpensOnlyThePortAt888) {
  EXPECT_EQ(OpenPort(889), 0);
  EXPECT_EQ(OpenPort(0), 0);
  EXPECT_NE(OpenPort(888), 0);
  ClosePort();
}

TEST(SimulatedDevice, ShowsACounterOfHundredthsInPackedBcd) {
  ASSERT_NE(OpenPort(888), 0);
  ConfigPort(888, 137);
  const int first = ReadPort(888);
  EXPECT_TRUE(IsPackedBcd(first)) << first;
  // Moving on by 25 ms changes the count unless exactly whole seconds passed.
  std::this_thread::sleep_for(std::chrono::milliseconds(25));
  const int later = ReadPort(888);
  EXPECT_TRUE(IsPackedBcd(later)) << later;
  EXPECT_NE(later, first);
  ClosePort();
}

// The device's clock against the runtime's steady clock read around it: both
// are the platform's monotonic clock, so however long the sleep takes, the
// device's interval lies within the bracketing one (give or take the
// millisecond each reading truncates) and is never shorter than the sleep.
TEST(SimulatedDevice, ClockMovesInMillisecondsOfTheSteadyClock) {
  using std::chrono::steady_clock;
  const steady_clock::time_point before = steady_clock::now();
  const long long first = MonotonicMilliseconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const long long last = MonotonicMilliseconds();
  const steady_clock::time_point after = steady_clock::now();
  const long long bracket =
      std::chrono::duration_cast<std::chrono::milliseconds>(after - before).count();
  EXPECT_GE(last - first, 30 - 1);
  EXPECT_LE(last - first, bracket + 1);
}

}  // namespace
