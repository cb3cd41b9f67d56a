// The Debian package, built from this build and unpacked into a scratch
// folder as dpkg would lay it out: the program there finds its driver through
// its own RUNPATH, and its man page renders without a warning.
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/e2e/harness.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

class PackageTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string pattern = (fs::temp_directory_path() / "bcdmon-package-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return;
    scratch_ = pattern;
    const fs::path built = scratch_ / "built";
    const std::string make = std::string("'") + CPACK_COMMAND + "' --config '" + CPACK_CONFIG +
                             "' -B '" + built.string() + "' >'" +
                             (scratch_ / "cpack.log").string() + "' 2>&1";
    if (std::system(make.c_str()) != 0) return;
    for (const auto& entry : fs::directory_iterator(built)) {
      if (entry.path().extension() != ".deb") continue;
      const std::string unpack =
          "dpkg-deb -x '" + entry.path().string() + "' '" + (scratch_ / "root").string() + "'";
      if (std::system(unpack.c_str()) == 0) root_ = scratch_ / "root";
    }
  }
  static void TearDownTestSuite() {
    std::error_code ignored;
    if (!scratch_.empty()) fs::remove_all(scratch_, ignored);
  }
  void SetUp() override {
    ASSERT_FALSE(root_.empty()) << "no package was built and unpacked; cpack said:\n"
                                << ReadFile(scratch_ / "cpack.log");
  }

  static fs::path scratch_;
  static fs::path root_;
};

fs::path PackageTest::scratch_;
fs::path PackageTest::root_;

TEST_F(PackageTest, InstalledProgramShowsTheSimulatedDeviceUntilAKey) {
  const std::string program = (root_ / "usr/bin/bcdmon").string();
  Options options;
  options.driver = Driver::kNone;
  options.program = program.c_str();
  Program run(options);
  const std::string line = "\r\nUnpacked BCD : ";
  ASSERT_TRUE(run.WaitFor(
      [&] {
        const std::string& shown = run.terminal();
        return shown.find(line) != shown.rfind(line);  // two readings at least
      },
      "readings on the terminal"));
  run.Type("q");
  EXPECT_TRUE(ExitedWith(run.Wait(), 1));

  const std::string output = run.Output();
  const std::string header = kHeader;
  const std::string trailer = kTrailer;
  ASSERT_EQ(output.compare(0, header.size(), header), 0) << output;
  ASSERT_TRUE(EndsWith(output, trailer)) << output;
  ASSERT_GT(output.size(), header.size() + trailer.size()) << output;
  // What lies between, without its first line feed: one reading a line.
  std::istringstream readings(
      output.substr(header.size() + 1, output.size() - header.size() - 1 - trailer.size()));
  std::size_t count = 0;
  for (std::string reading; std::getline(readings, reading); ++count) {
    // The simulated device counts in BCD: every half is a decimal digit.
    ASSERT_EQ(reading.size(), 17U) << reading;
    EXPECT_EQ(reading.compare(0, 15, "Unpacked BCD : "), 0) << reading;
    EXPECT_TRUE(std::isdigit(reading[15]) && std::isdigit(reading[16])) << reading;
  }
  EXPECT_GE(count, 2U);
  ASSERT_TRUE(SameMode(run.mode_before(), run.Mode()));
}

TEST_F(PackageTest, ManPageRendersWithoutWarnings) {
  const fs::path page = root_ / "usr/share/man/man1/bcdmon.1";
  ASSERT_TRUE(fs::exists(page));
  const fs::path out = scratch_ / "man.out";
  const fs::path err = scratch_ / "man.err";
  const std::string render =
      "LC_ALL=C.UTF-8 MAN_DISABLE_SECCOMP=1 MANROFFOPT=-ww man --warnings -l -Tutf8 '" +
      page.string() + "' >'" + out.string() + "' 2>'" + err.string() + "'";
  EXPECT_EQ(std::system(render.c_str()), 0);
  EXPECT_EQ(ReadFile(err), "");
  const std::string text = ReadFile(out);
  EXPECT_NE(text.find("bcdmon - show a board's byte"), std::string::npos) << text;
  EXPECT_NE(text.find("/usr/lib/bcdmon/libzepdriver.so"), std::string::npos) << text;
}

}  // namespace
}  // namespace e2e
