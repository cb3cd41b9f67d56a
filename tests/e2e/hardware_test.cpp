// The real program bound to the hardware driver, without the privilege to
// reach the ports: the kernel refuses, and the run says "Failed" while the
// driver gives its reason on standard error.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "tests/e2e/harness.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

TEST(HardwareTest, WithoutPrivilegeTheOpenFailsWithOneLineOfReason) {
  Options options;
  options.driver = Driver::kHardware;
  options.unprivileged = true;
  options.session = Session::kNoTerminal;
  options.out = Out::kFile;
  Program run(options);
  EXPECT_TRUE(ExitedWith(run.Wait(), 0));
  EXPECT_EQ(run.Output(), "\nOpening Port...Failed");
  // The ports it will touch, said at load; then why it could not.
  const std::string errors = run.Stderr();
  const std::size_t refusal = errors.find('\n') + 1;
  EXPECT_EQ(errors.rfind("libzepdriver: hardware driver: reads I/O port 0x", 0), 0U) << errors;
  EXPECT_LT(errors.find("(no board file /dev/null: the defaults)"), refusal) << errors;
  EXPECT_EQ(errors.find('\n', refusal), errors.size() - 1) << errors;
  // EPERM from a kernel that has port I/O, with the step that helps a copy
  // outside the system folders; ENOSYS from one built without it, where no
  // privilege would help.
  const bool no_port_io = errors.find(std::strerror(ENOSYS), refusal) != std::string::npos;
  const std::string sudo = "; run it as root: sudo " + fs::temp_directory_path().string();
  EXPECT_TRUE(no_port_io ||
              (errors.find(sudo, refusal) != std::string::npos && EndsWith(errors, "/bcdmon\n")))
      << errors;
  EXPECT_EQ(errors.find("setcap"), std::string::npos) << errors;
}

}  // namespace
}  // namespace e2e
