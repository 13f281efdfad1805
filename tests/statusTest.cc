#include <gtest/gtest.h>

#include "status/tStatus.h"
#include "tool/tProgramEntry.h"

namespace nDRAVI100 {
namespace {

TEST(StatusWord, MergeRules) {
  struct Case {
    tStatus before;
    bool isErrorCode;
    std::int32_t code;
    tStatus after;
  } cases[] = {
      {0, false, 88360, 88360},        // a warning into a clean word
      {0, true, 50204, -50204},        // an error into a clean word
      {88360, true, 50204, -50204},    // an error replaces a warning
      {-88361, true, 50204, -88361},   // the first error survives
      {88360, false, 50209, 88360},    // the first warning survives
      {-50207, false, 50209, -50207},  // a warning never replaces an error
  };
  for (const Case& c : cases) {
    tStatus status = c.before;
    if (c.isErrorCode) {
      raiseError(status, c.code);
    } else {
      raiseWarning(status, c.code);
    }
    EXPECT_EQ(status, c.after) << "from " << c.before << " with code " << c.code;
  }
}

TEST(StatusWord, ExitStatus) {
  EXPECT_EQ(exitStatusFor(0), 0);
  EXPECT_EQ(exitStatusFor(88360), 1);
  EXPECT_EQ(exitStatusFor(50209), 1);
  EXPECT_EQ(exitStatusFor(-1), -1);
  EXPECT_EQ(exitStatusFor(-88361), -1);
  EXPECT_EQ(exitStatusFor(INT32_MIN), -1);
}

TEST(Report, LinesByFinalWord) {
  using Args = std::vector<std::string>;
  struct Case {
    tStatus status;
    Args arguments;
    std::string expected;
  } cases[] = {
      {0, {"zembril", "/U", "/list"}, ""},
      {88360, {"zembril", "/U", "/add", "A", "B"}, "\tWarning generated: 88360\n"},
      {-88361, {"zembril"}, "\tOperation Failed!\n\tStatus on exit was -88361.\n"},
      {-50204,
       {"zembril", "/file", "cmds.txt"},
       "\tLoading from file 'cmds.txt' failed!\n\tStatus on exit was -50204.\n"},
      // Only argument 1 is looked at, so "/x64" in front hides the file.
      {-50204,
       {"zembril", "/x64", "/file", "cmds.txt"},
       "\tOperation Failed!\n\tStatus on exit was -50204.\n"},
      // "/file" with no path after it has no file name to report.
      {-88361, {"zembril", "/file"}, "\tOperation Failed!\n\tStatus on exit was -88361.\n"},
      // A control character in the path cannot steer the terminal; every
      // other byte, a backslash, Latin-1 or UTF-8, prints as it always has.
      {-50204,
       {"zembril", "/file", "/a b\\c\xe9\xc3\xa9\x1b[2J\t\x9b"},
       "\tLoading from file '/a b\\c\xe9\xc3\xa9\\x1b[2J\\t\\x9b' failed!\n\tStatus on exit was "
       "-50204.\n"},
      // A warning from a command file run is reported as a warning.
      {50209, {"zembril", "/file", "f"}, "\tWarning generated: 50209\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(formatReport(c.status, c.arguments), c.expected) << c.status;
  }
}

}  // namespace
}  // namespace nDRAVI100
