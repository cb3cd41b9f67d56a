// What the unit tests of the drivers share: a folder of their own for the
// files they write, and standard error caught while a call runs.
#ifndef BCDMON_TESTS_SCRATCH_H_
#define BCDMON_TESTS_SCRATCH_H_

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace scratch {

// Standard error while `call` runs.
template <typename Call>
std::string StderrOf(Call call) {
  std::fflush(stderr);
  char path[] = "/tmp/bcdmon-stderr-XXXXXX";
  const int file = mkstemp(path);
  const int saved = dup(2);
  dup2(file, 2);
  call();
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::string text;
  char buffer[512];
  lseek(file, 0, SEEK_SET);
  for (ssize_t got; (got = read(file, buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<std::size_t>(got));
  }
  close(file);
  unlink(path);
  return text;
}

// A folder of the suite's own, removed after its last test.
class ScratchTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/bcdmon-board-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(folder_); }
  static std::string BoardFile() { return folder_ + "/board.conf"; }

 private:
  inline static std::string folder_;
};

}  // namespace scratch

#endif  // BCDMON_TESTS_SCRATCH_H_
