// The Debian package that the test package.build makes with Debian's tools,
// unpacked into a scratch folder as dpkg would lay it out, with the driver's
// link that its postinst makes: its program, run from where it installs,
// finds its driver through its own RUNPATH and needs nothing but the C
// library, and its man page renders without a warning.
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
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

// For sh, $0 the unpacked package: its usr/ over /usr, its lib/bcdmon/ over
// all of /usr/lib/bcdmon, then $1 run.
constexpr char kLayOverUsr[] =
    "mount -t overlay overlay -o \"lowerdir=$0/usr:/usr\" /usr"
    " && mount --bind \"$0/usr/lib/bcdmon\" /usr/lib/bcdmon && exec \"$1\"";

class PackageTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string pattern = (fs::temp_directory_path() / "bcdmon-package-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return;
    scratch_ = pattern;
    std::error_code missing;
    for (const auto& entry : fs::directory_iterator(PACKAGE_DIR, missing)) {
      // Not the package of the debugging symbols beside it.
      const std::string name = entry.path().filename();
      if (name.rfind("bcdmon_", 0) != 0 || entry.path().extension() != ".deb") continue;
      const fs::path root = scratch_ / "root";
      const std::string unpack =
          "dpkg-deb -x '" + entry.path().string() + "' '" + root.string() + "'";
      package_ = entry.path();
      if (std::system(unpack.c_str()) != 0) return;
      // The alternative bcdmon-device in auto mode, but for the hop through
      // /etc/alternatives. It fails where the package ships a driver itself.
      std::error_code error;
      fs::create_symlink("simulated/libzepdriver.so", root / "usr/lib/bcdmon/libzepdriver.so",
                         error);
      if (!error) root_ = root;
    }
  }
  static void TearDownTestSuite() {
    std::error_code ignored;
    if (!scratch_.empty()) fs::remove_all(scratch_, ignored);
  }
  // The program as the package installs it, /usr/bin/bcdmon, run where the
  // package's usr/ is laid over this machine's /usr, its lib/bcdmon/ in
  // place of any this machine has, in a mount namespace of the program's own
  // (in a user namespace, so that no root is needed): the absolute entry of
  // its RUNPATH, /usr/lib/bcdmon, leads to the package's devices alone.
  static Options Installed() {
    Options options;
    options.driver = Driver::kNone;
    options.program = "/usr/bin/bcdmon";
    options.wrapper = {"/usr/bin/unshare", "--map-root-user", "--mount", "/bin/sh", "-c",
                       kLayOverUsr,        root_.string()};
    return options;
  }
  void SetUp() override {
    ASSERT_FALSE(root_.empty())
        << "no bcdmon_*.deb in " << PACKAGE_DIR << " unpacked with the driver's link added"
        << " (refused where the package has a libzepdriver.so of its own); the test"
        << " package.build makes the package";
  }

  static fs::path scratch_;
  static fs::path root_;
  static fs::path package_;
};

fs::path PackageTest::scratch_;
fs::path PackageTest::root_;
fs::path PackageTest::package_;

// The names of the files a process has mapped, but for the loader, which is
// named after the processor (ld-linux-x86-64.so.2 and the like).
std::set<std::string> MappedFilesButTheLoader(pid_t pid) {
  std::istringstream maps(ReadFile("/proc/" + std::to_string(pid) + "/maps"));
  std::set<std::string> names;
  for (std::string line; std::getline(maps, line);) {
    const std::size_t path = line.find(" /");
    if (path == std::string::npos) continue;
    const std::string name = fs::path(line.substr(path + 1)).filename();
    if (name.rfind("ld-", 0) != 0) names.insert(name);
  }
  return names;
}

TEST_F(PackageTest, InstalledProgramShowsTheSimulatedDeviceUntilAKey) {
  Program run(Installed());
  const std::string line = "\r\nUnpacked BCD : ";
  ASSERT_TRUE(run.WaitFor(
      [&] {
        const std::string& shown = run.terminal();
        return shown.find(line) != shown.rfind(line);  // two readings at least
      },
      "readings on the terminal"));
  run.Type("q");
  EXPECT_TRUE(ExitedWith(run.Wait(), 1));

  // The device says what it is before the program's first message: on
  // standard error, here the same terminal.
  std::string output = run.Output();
  const std::string notice =
      "libzepdriver: simulated device, no board is read: a counter of hundredths of a second\n";
  ASSERT_EQ(output.compare(0, notice.size(), notice), 0) << output;
  output.erase(0, notice.size());
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

// The C and C++ runtime is the system's C library alone: of libraries, the
// package depends on libc6 and nothing else (and on the tools its maintainer
// scripts run), and the running program maps the C library, the loader and
// its driver and nothing else.
TEST_F(PackageTest, InstalledProgramNeedsTheCLibraryAlone) {
  const fs::path depends = scratch_ / "depends";
  const std::string field =
      "dpkg-deb -f '" + package_.string() + "' Depends >'" + depends.string() + "'";
  ASSERT_EQ(std::system(field.c_str()), 0);
  const std::string needs = ReadFile(depends);
  EXPECT_TRUE(std::regex_match(
      needs, std::regex("libc6 \\([^,]*\\), debconf \\([^,]*\\) \\| debconf-2\\.0, adduser, "
                        "libcap2-bin\n")))
      << needs;

  Program run(Installed());
  ASSERT_TRUE(run.WaitForTerminal("Unpacked BCD : "));
  const std::set<std::string> mapped = MappedFilesButTheLoader(run.pid());
  run.Type("q");
  EXPECT_TRUE(ExitedWith(run.Wait(), 1));
  const std::set<std::string> expected = {"bcdmon", "libc.so.6", "libzepdriver.so"};
  EXPECT_EQ(mapped, expected);
}

// Every folder 0755 whatever the umask of the build, or the program would
// start for root alone.
TEST_F(PackageTest, FoldersAreOpenToAll) {
  for (const auto& entry : fs::recursive_directory_iterator(root_)) {
    if (entry.is_directory()) {
      EXPECT_EQ(entry.status().permissions(), fs::perms(0755)) << entry;
    }
  }
}

// A request that groff took for text, as a line that a quote or a space
// begins makes it, which neither groff nor man warns about: the request and
// where it stands, or nothing.
std::string StrayRequest(const std::string& text) {
  std::smatch stray;
  if (!std::regex_search(text, stray, std::regex("\\.(TP|PP|IP|RS|RE|B|BI|BR|I|IR)\\b"))) {
    return "";
  }
  return stray.str() + " at " + std::to_string(stray.position(0));
}

TEST_F(PackageTest, ManPageRendersWithoutWarnings) {
  const fs::path page = root_ / "usr/share/man/man1/bcdmon.1.gz";
  ASSERT_TRUE(fs::exists(page));
  const fs::path out = scratch_ / "man.out";
  const fs::path err = scratch_ / "man.err";
  const std::string render =
      "LC_ALL=C.UTF-8 MAN_DISABLE_SECCOMP=1 MANROFFOPT=-ww man --warnings -l -Tutf8 '" +
      page.string() + "' >'" + out.string() + "' 2>'" + err.string() + "'";
  EXPECT_EQ(std::system(render.c_str()), 0);
  EXPECT_EQ(ReadFile(err), "");
  // The text without its bold and underline, each a character struck over.
  std::string text;
  for (const char character : ReadFile(out)) {
    if (character != '\b') {
      text += character;
    } else if (!text.empty()) {
      text.pop_back();
    }
  }
  EXPECT_NE(text.find("bcdmon - show a board's byte"), std::string::npos) << text;
  EXPECT_NE(text.find("/usr/lib/bcdmon/libzepdriver.so"), std::string::npos) << text;
  EXPECT_NE(text.find("/etc/bcdmon/board.conf"), std::string::npos) << text;
  EXPECT_EQ(StrayRequest(text), "") << text;
}

}  // namespace
}  // namespace e2e
