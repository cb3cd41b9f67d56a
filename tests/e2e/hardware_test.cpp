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

// Standard output on a file, standard error on another; or both on the
// terminal, where "Opening Port...Failed" stays whole and the reason follows
// on a line of its own.
class HardwareTest : public testing::TestWithParam<Out> {};

// What the run wrote to standard error, and standard output as it was.
std::string Errors(Program& run, Out out) {
  if (out == Out::kFile) {
    EXPECT_EQ(run.Output(), "\nOpening Port...Failed");
    return run.Stderr();
  }
  std::string shown = FromTerminal(run.Terminal());
  const std::string outcome = "\nOpening Port...Failed\n";
  const std::size_t at = shown.find(outcome);
  EXPECT_NE(at, std::string::npos) << shown;
  return at == std::string::npos ? shown : shown.erase(at, outcome.size());
}

TEST_P(HardwareTest, WithoutPrivilegeTheOpenFailsWithOneLineOfReason) {
  Options options;
  options.driver = Driver::kHardware;
  options.unprivileged = true;
  options.session = GetParam() == Out::kFile ? Session::kNoTerminal : Session::kLeader;
  options.out = GetParam();
  Program run(options);
  EXPECT_TRUE(ExitedWith(run.Wait(), 0));
  // The ports it will touch, said at load; then why it could not.
  const std::string errors = Errors(run, GetParam());
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

INSTANTIATE_TEST_SUITE_P(Outputs, HardwareTest, testing::Values(Out::kFile, Out::kTerminal),
                         [](const testing::TestParamInfo<Out>& param) {
                           return std::string(NameOf(param.param));
                         });

}  // namespace
}  // namespace e2e
