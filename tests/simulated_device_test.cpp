// The simulated device, compiled into the test in place of the library.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "driver/port_driver.h"

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

}  // namespace
