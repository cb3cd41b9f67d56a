// The real program bound to the hardware driver, without the privilege to
// reach the ports: the kernel refuses, and the run says "Failed" while the
// driver gives its reason on standard error.
#include <cerrno>
#include <cstring>
#include <string>

#include "tests/e2e/harness.h"

namespace e2e {
namespace {

TEST(HardwareTest, WithoutPrivilegeTheOpenFailsWithOneLineOfReason) {
  Options options;
  options.driver = Driver::kHardware;
  options.unprivileged = true;
  options.session = Session::kNoTerminal;
  options.out = Out::kFile;
  Program run(options);
  EXPECT_TRUE(ExitedWith(run.Wait(), 0));
  EXPECT_EQ(run.Output(), "\nOpening Port...Failed");
  const std::string errors = run.Stderr();
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors.find('\n'), errors.size() - 1) << errors;
  // EPERM from a kernel that has port I/O, with the remedy; ENOSYS from one
  // built without it, where no privilege would help.
  const bool no_port_io = errors.find(std::strerror(ENOSYS)) != std::string::npos;
  EXPECT_TRUE(no_port_io || errors.find(std::strerror(EPERM)) != std::string::npos) << errors;
  EXPECT_EQ(errors.find("CAP_SYS_RAWIO") == std::string::npos, no_port_io) << errors;
}

}  // namespace
}  // namespace e2e
