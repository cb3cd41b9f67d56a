// The driver library is bound by the loader with every symbol resolved before
// the program starts: without a usable library nothing of the program runs.
#include <string>

#include "tests/e2e/harness.h"

namespace e2e {
namespace {

struct Case {
  const char* name;
  Driver driver;
  Out out;
  Driver in_working_dir = Driver::kNone;  // a library where it is started from
  NAMED_CASE(Case)
};

class LoaderTest : public testing::TestWithParam<Case> {};

TEST_P(LoaderTest, RefusesToStartTheProgram) {
  Options options;
  options.driver = GetParam().driver;
  options.out = GetParam().out;
  options.driver_in_working_dir = GetParam().in_working_dir;
  options.session = Session::kNoTerminal;
  Program run(options);
  EXPECT_TRUE(ExitedWith(run.Wait(), 127));
  EXPECT_EQ(run.Output(), "");
  EXPECT_NE(run.Stderr(), "");  // the loader's message, whatever its words
  EXPECT_EQ(run.Log(), "");     // no driver call at all
}

INSTANTIATE_TEST_SUITE_P(Libraries, LoaderTest,
                         testing::Values(Case{"MissingLibraryFile", Driver::kNone, Out::kFile},
                                         Case{"MissingLibraryPipe", Driver::kNone, Out::kPipe},
                                         Case{"NoClosePortFile", Driver::kMissingClose, Out::kFile},
                                         Case{"NoClosePortPipe", Driver::kMissingClose, Out::kPipe},
                                         // Not from the current folder: that one is anybody's.
                                         Case{"MissingLibraryStartedBesideAnother", Driver::kNone,
                                              Out::kFile, Driver::kTest}),
                         ByName());

}  // namespace
}  // namespace e2e
