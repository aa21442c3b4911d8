// The reader of measured curves and IRFs: the layouts that lab software and spreadsheets write,
// and a message naming the line for everything else.
#include "io/curve_file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_support.h"

namespace nlayer {
namespace {

TEST(CurveFile, ReadsCommaAndBlankSeparatedColumnsWithHeaderAndComments) {
  struct Case {
    const char* name;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"csv with header", "t_ps,counts\n10,0\n20,3\n30,17.5\n"},
      {"blanks, tabs, CR LF", "10 0\r\n20\t3\r\n  30   17.5  \r\n"},
      {"byte order mark, quoted header", "\xEF\xBB\xBF\"t\";\"c\"\n10, 0\n20 ,3\n30 , 17.5"},
      {"comments and blank lines", "# exported\n\n10,0 # first bin\n\n20,3\n# gap\n30,17.5\n\n"},
      {"number spellings", "+1e1,0.\n.2e2,3\n30.0,+1.75E+1\n"},
  };
  for (const Case& c : cases) {
    const CurveFile curve = ParseCurve(c.text, "curve.csv");
    EXPECT_EQ(curve.t_ps, (std::vector<double>{10, 20, 30})) << c.name;
    EXPECT_EQ(curve.counts, (std::vector<double>{0, 3, 17.5})) << c.name;
  }
  const CurveFile lines = ParseCurve("# a\nt,c\n\n1,2\n3,4\n", "x");
  EXPECT_EQ(lines.lines, (std::vector<long>{4, 5}));
  // Digits far beyond a double's still give the nearest double.
  EXPECT_EQ(ParseCurve("0.1000000000000000055511151231257827,1\n", "x").t_ps[0], 0.1);
}

TEST(CurveFile, NamesTheLineOfEveryRefusal) {
  struct Case {
    std::string text;
    long line;
    const char* says;
  };
  const std::vector<Case> cases = {
      {"t,c\n10,1\n20,1,5\n", 3, "3 values where a bin has two"},
      {"10 1\n20\n", 2, "1 value where a bin has two"},
      {"10,1\n20,1;5\n", 2, "\"1;5\" is not a number (counts)"},
      {"10,1\n20,1.5e\n", 2, "\"1.5e\" is not a number"},
      {"10,1\n2o,1\n", 2, "\"2o\" is not a number (t_ps)"},
      {"10,inf\n", 1, "\"inf\" is not a number"},
      {"t,c\nheader again,1\n", 2, "is not a number"},
      {"10,1\n20,1e999\n", 2, "beyond the range of a double"},
      {"10,1\n20,1e-999\n", 2, "beyond the range of a double"},
      {"10,1\n20,-2\n", 2, "counts -2 are negative"},
      {"10,1\n30,1\n20,1\n", 3, "t_ps 20 does not rise above the 30 ps of line 2"},
      {"10,1\n10,1\n", 2, "does not rise"},
      {"10,1\n20,\n", 2, "\"\" is not a number (counts)"},
      {std::string("10,1\n20,1\0\n", 11), 2, "a NUL byte"},
      {"t_ps,counts\n# nothing\n", 0, "no data"},
      {"", 0, "no data"},
  };
  for (const Case& c : cases) {
    try {
      ParseCurve(c.text, "m.csv");
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const InputFileError& e) {
      EXPECT_EQ(e.line(), c.line) << c.text;
      EXPECT_EQ(e.error_number(), 0) << c.text;
      const std::string prefix = c.line > 0 ? "m.csv:" + std::to_string(c.line) + ": " : "m.csv: ";
      EXPECT_EQ(std::string(e.what()).rfind(prefix, 0), 0u) << e.what();
      EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << e.what();
    }
  }
}

TEST(CurveFile, ReportsFilesThatCannotBeRead) {
  testing::TempWorkDir dir;
  dir.Write("curve.csv", "t_ps counts\n0 5\n10 7\n");
  EXPECT_EQ(ReadCurveFile("curve.csv").counts, (std::vector<double>{5, 7}));
  for (const auto& [path, error] : {std::pair{"missing.csv", ENOENT}, std::pair{".", EISDIR}}) {
    try {
      ReadCurveFile(path);
      ADD_FAILURE() << path;
    } catch (const InputFileError& e) {
      EXPECT_EQ(e.error_number(), error) << e.what();
      EXPECT_EQ(std::string(e.what()).rfind(std::string(path) + ": ", 0), 0u) << e.what();
    }
  }
  dir.Write("binary.csv", std::string("0 5\n\0\0\0", 7));
  try {
    ReadCurveFile("binary.csv");
    ADD_FAILURE() << "a binary file was read";
  } catch (const InputFileError& e) {
    EXPECT_EQ(e.line(), 2);
  }
}

// Rows "i,1" for i = first ... last.
std::string Rows(std::size_t first, std::size_t last) {
  std::string text;
  for (std::size_t i = first; i <= last; ++i) text += std::to_string(i) + ",1\n";
  return text;
}

TEST(CurveFile, StopsAtTheFirstBinBeyondTheLimit) {
  const std::string full = "t_ps,counts\n" + Rows(0, kMaxCurveBins - 1);
  const CurveFile curve = ParseCurve(full, "c.csv");
  ASSERT_EQ(curve.t_ps.size(), kMaxCurveBins);
  EXPECT_EQ(curve.lines.back(), static_cast<long>(kMaxCurveBins) + 1);
  const std::string beyond = "c.csv:" + std::to_string(kMaxCurveBins + 2) + ": more than " +
                             std::to_string(kMaxCurveBins) + " bins; a curve holds at most as many as a TCSPC histogram";
  try {
    ParseCurve(full + Rows(kMaxCurveBins, kMaxCurveBins) + "oops\n", "c.csv");
    ADD_FAILURE() << "read a bin beyond the limit";
  } catch (const InputFileError& e) {
    EXPECT_EQ(std::string(e.what()), beyond);  // not the later line that is no bin
  }

  // A pipe of rising bins that goes on: refused at that bin, long before the file's byte limit.
  testing::TempWorkDir dir;
  ASSERT_EQ(::mkfifo("c.csv", 0600), 0);
  ::signal(SIGPIPE, SIG_IGN);
  std::thread writer([] {
    const int fd = ::open("c.csv", O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    std::string text = "t_ps,counts\n";
    for (std::size_t first = 0; first < (std::size_t{1} << 23); first += 4096) {
      text += Rows(first, first + 4095);
      if (::write(fd, text.data(), text.size()) < 0) break;
      text.clear();
    }
    ::close(fd);
  });
  try {
    ReadCurveFile("c.csv");
    ADD_FAILURE() << "read the pipe to its end";
  } catch (const InputFileError& e) {
    EXPECT_EQ(std::string(e.what()), beyond);
    EXPECT_EQ(e.line(), static_cast<long>(kMaxCurveBins) + 2);
  }
  writer.join();
}

}  // namespace
}  // namespace nlayer
