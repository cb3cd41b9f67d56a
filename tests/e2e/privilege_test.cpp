// The privilege the run holds while it reads: none, whatever the driver.
#include <unistd.h>

#include <fstream>
#include <string>

#include "tests/e2e/harness.h"

namespace e2e {
namespace {

// The test driver gives up nothing itself.
TEST(PrivilegeTest, RootHoldsNoCapabilityWhileReading) {
  if (geteuid() != 0) GTEST_SKIP() << "only a process of root's holds capabilities to give up";
  Program run(Options{});
  ASSERT_TRUE(run.WaitForReads(3));
  std::ifstream status("/proc/" + std::to_string(run.pid()) + "/status");
  std::string sets;  // all but the bounding set
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Cap", 0) == 0 && line.rfind("CapBnd", 0) != 0) sets += line + "\n";
  }
  EXPECT_EQ(sets,
            "CapInh:\t0000000000000000\nCapPrm:\t0000000000000000\n"
            "CapEff:\t0000000000000000\nCapAmb:\t0000000000000000\n");
  run.Type("q");
  EXPECT_TRUE(ExitedWith(run.Wait(), 1));
}

}  // namespace
}  // namespace e2e
