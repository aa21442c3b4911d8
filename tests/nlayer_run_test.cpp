// End-to-end tests of the headless command nlayer-run: the binary is run in a fresh working
// directory, and its exit status, its messages and the file it leaves are checked against
// published whole-run values, exact runtime messages and the fixed line layout of the output.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/reflectance_file.h"
#include "tests/run_command.h"
#include "tests/test_support.h"

namespace nlayer::testing {
namespace {

namespace fs = std::filesystem;

const fs::path kModels = fs::path(NLAYER_TEST_DATA) / "nlayer_run";
const fs::path kExamples = NLAYER_EXAMPLES_DIR;

// Splitting one slab into identical layers changes only the rounding of the layer recursion;
// carried through 513 frequencies and the transform, that is about 1e-15 of the peak at any
// sample. Relative to each sample it would be loose: the tail lies six decades lower.
constexpr double kSplitAgreement = 1e-13;  // relative to the peak magnitude

using Outcome = CommandOutcome;

// Runs nlayer-run with `args` in the current directory.
Outcome RunNlayer(const std::vector<std::string>& args) { return RunCommand(NLAYER_RUN_PATH, args); }

Outcome RunModel(const fs::path& model, const std::vector<std::string>& extra = {}) {
  std::vector<std::string> args = {"--input", model.string()};
  args.insert(args.end(), extra.begin(), extra.end());
  return RunNlayer(args);
}

using Sample = ReflectanceSample;

// Reads an output file back, failing the test at the first line that breaks the layout.
std::vector<Sample> ParseCurve(const std::string& text) {
  ReflectanceFile file = ReadReflectanceFile(text);
  if (!file.error.empty()) ADD_FAILURE() << file.error;
  return std::move(file.samples);
}

// The largest magnitude among the samples up to 5010 ps, where the peak is searched.
double PeakMagnitude(const std::vector<Sample>& curve) {
  double peak = 0;
  for (const auto& s : curve) {
    if (s.time_ps <= 5010) peak = std::fmax(peak, std::fabs(s.value));
  }
  return peak;
}

std::optional<int> PeakTime(const std::vector<Sample>& curve) {
  std::optional<int> time;
  double peak = -1;
  for (const auto& s : curve) {
    if (s.time_ps <= 5010 && std::fabs(s.value) > peak) {
      peak = std::fabs(s.value);
      time = s.time_ps;
    }
  }
  return time;
}

std::optional<double> ValueAt(const std::vector<Sample>& curve, int time_ps) {
  for (const auto& s : curve) {
    if (s.time_ps == time_ps) return static_cast<double>(s.value);
  }
  return std::nullopt;
}

// The reference values are published rounded to 7 significant digits.
std::string SevenDigits(std::optional<double> value) {
  if (!value) return "(no line)";
  char text[32];
  std::snprintf(text, sizeof text, "%.6e", *value);
  return text;
}

// Everything the output layout promises, for any successful run.
void ExpectWellFormedCurve(const std::string& text) {
  std::string lower = text;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const char* forbidden : {"nan", "inf", ","}) {
    EXPECT_EQ(lower.find(forbidden), std::string::npos) << "the file contains \"" << forbidden << "\"";
  }
  const std::vector<Sample> curve = ParseCurve(text);
  ASSERT_GE(curve.size(), 1u);
  ASSERT_LE(curve.size(), 512u);
  EXPECT_EQ(CompleteCurveProblem(curve), "");
}

bool Exists(const std::string& name) { return fs::exists(fs::current_path() / name); }

TEST(NlayerRunTest, OneLayerExampleInTheWorkingDirectoryGivesTheReferenceCurve) {
  TempWorkDir dir;
  fs::copy_file(kExamples / "one_layer" / "input.dat", dir.path() / "input.dat");
  const Outcome run = RunNlayer({});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const std::string text = dir.Read("reflectance.dat");
  ExpectWellFormedCurve(text);
  const auto curve = ParseCurve(text);
  EXPECT_EQ(PeakTime(curve), 430);
  EXPECT_EQ(SevenDigits(ValueAt(curve, 430)), "1.180846e-08");
  EXPECT_EQ(SevenDigits(ValueAt(curve, 530)), "1.077272e-08");
  EXPECT_EQ(SevenDigits(ValueAt(curve, 1030)), "2.697603e-09");
}

TEST(NlayerRunTest, TwoLayerModelGivesTheReferenceCurve) {
  TempWorkDir dir;
  const Outcome run = RunModel(kModels / "two_layer.dat");
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string text = dir.Read("reflectance.dat");
  ExpectWellFormedCurve(text);
  const auto curve = ParseCurve(text);
  EXPECT_EQ(PeakTime(curve), 380);
  EXPECT_EQ(SevenDigits(ValueAt(curve, 380)), "8.130758e-09");
  EXPECT_EQ(SevenDigits(ValueAt(curve, 530)), "5.862902e-09");
  EXPECT_EQ(SevenDigits(ValueAt(curve, 1030)), "4.256111e-10");
}

TEST(NlayerRunTest, ASlabSplitIntoTwoThreeOrFourIdenticalLayersGivesOneCurve) {
  TempWorkDir dir;
  std::vector<std::vector<Sample>> curves;
  for (const char* model : {"split_two.dat", "split_three.dat", "split_four.dat"}) {
    SCOPED_TRACE(model);
    const Outcome run = RunModel(kModels / model, {"--output", std::string(model) + ".out"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string text = dir.Read(std::string(model) + ".out");
    ExpectWellFormedCurve(text);
    curves.push_back(ParseCurve(text));
    EXPECT_EQ(SevenDigits(ValueAt(curves.back(), 530)), "1.077223e-08");
    EXPECT_EQ(SevenDigits(ValueAt(curves.back(), 1030)), "2.653968e-09");
  }
  const double peak = PeakMagnitude(curves[0]);
  for (std::size_t split = 1; split < curves.size(); ++split) {
    ASSERT_EQ(curves[split].size(), curves[0].size()) << "split " << split;
    for (std::size_t i = 0; i < curves[0].size(); ++i) {
      ASSERT_EQ(curves[split][i].time_ps, curves[0][i].time_ps) << "split " << split;
      EXPECT_LE(std::fabs(curves[split][i].value - curves[0][i].value), kSplitAgreement * peak)
          << "split " << split << " at " << curves[0][i].time_ps << " ps";
    }
  }
}

TEST(NlayerRunTest, TheSameModelSpelledDifferentlyGivesTheSameFile) {
  TempWorkDir dir;
  // Blank lines, CR LF, tabs, comments, a hexadecimal count, 1.0, 1e-2, 14e-1 and +2e1 all
  // read as the same numbers as the plain file, so not one byte of the output may differ.
  ASSERT_EQ(RunModel(kExamples / "one_layer" / "input.dat", {"--output", "plain.dat"}).status, 0);
  const Outcome run = RunModel(kModels / "one_layer_respelled.dat", {"--output", "respelled.dat"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(dir.Read("respelled.dat"), dir.Read("plain.dat"));
}

TEST(NlayerRunTest, AFileEndingAfterTheLastThicknessRunsWithRhoZero) {
  TempWorkDir dir;
  const Outcome run = RunModel(kModels / "no_rho.dat");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  ExpectWellFormedCurve(dir.Read("reflectance.dat"));
}

TEST(NlayerRunTest, AdultHeadExampleRunsAndThreadCountsGiveIdenticalBytes) {
  TempWorkDir dir;
  for (const char* threads : {"1", "2", "3"}) {
    const Outcome run = RunModel(kExamples / "adult_head" / "input.dat",
                                 {"--threads", threads, "--output", std::string("head") + threads});
    ASSERT_EQ(run.status, 0) << "--threads " << threads << ": " << run.err;
  }
  const std::string single = dir.Read("head1");
  ExpectWellFormedCurve(single);
  EXPECT_EQ(dir.Read("head2"), single);
  EXPECT_EQ(dir.Read("head3"), single);
}

TEST(NlayerRunTest, TwoLayerModelGivesIdenticalBytesForEveryThreadCount) {
  TempWorkDir dir;
  for (const char* threads : {"1", "2", "3"}) {
    const Outcome run = RunModel(kModels / "two_layer.dat",
                                 {"--threads", threads, "--output", std::string("two") + threads});
    ASSERT_EQ(run.status, 0) << "--threads " << threads << ": " << run.err;
  }
  const std::string single = dir.Read("two1");
  ASSERT_FALSE(single.empty());
  EXPECT_EQ(dir.Read("two2"), single);
  EXPECT_EQ(dir.Read("two3"), single);
}

TEST(NlayerRunTest, InputAndOutputOptionsNameTheFiles) {
  TempWorkDir dir;
  fs::create_directory(dir.path() / "models");
  fs::create_directory(dir.path() / "curves");
  fs::copy_file(kExamples / "one_layer" / "input.dat", dir.path() / "models" / "slab.txt");
  const Outcome run = RunNlayer({"--output", "curves/slab.out", "--input", "models/slab.txt"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_FALSE(Exists("reflectance.dat"));
  const std::string text = dir.Read("curves/slab.out");
  ExpectWellFormedCurve(text);
  EXPECT_EQ(SevenDigits(ValueAt(ParseCurve(text), 430)), "1.180846e-08");
}

TEST(NlayerRunTest, HelpNamesEveryOptionAndDoesNotRun) {
  TempWorkDir dir;
  fs::copy_file(kExamples / "one_layer" / "input.dat", dir.path() / "input.dat");
  const Outcome run = RunNlayer({"--help"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  for (const char* option : {"--input", "--output", "--threads", "--help", "--version"}) {
    EXPECT_NE(run.out.find(option), std::string::npos) << option;
  }
  EXPECT_FALSE(Exists("reflectance.dat"));
}

TEST(NlayerRunTest, VersionPrintsTheProjectVersionAndDoesNotRun) {
  TempWorkDir dir;
  fs::copy_file(kExamples / "one_layer" / "input.dat", dir.path() / "input.dat");
  const Outcome run = RunNlayer({"--version"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, "nlayer-run " NLAYER_VERSION "\n");
  EXPECT_FALSE(Exists("reflectance.dat"));
}

#if NLAYER_HAVE_PLOT
TEST(NlayerRunTest, PlotDrawsTheCurveIntoAnImageWithoutADisplay) {
  TempWorkDir dir;
  fs::copy_file(kExamples / "one_layer" / "input.dat", dir.path() / "input.dat");
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  Outcome run = RunNlayer({"--plot", "curve.png"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "") << "a script asking for a picture gets no chatter";
  EXPECT_EQ(dir.Read("curve.png").rfind("\x89PNG\r\n\x1a\n", 0), 0u) << "not a PNG file";
  EXPECT_EQ(SevenDigits(ValueAt(ParseCurve(dir.Read("reflectance.dat")), 430)), "1.180846e-08");
  run = RunNlayer({"--plot", "curve.SVG"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(dir.Read("curve.SVG").find("<svg"), std::string::npos);
  // Without a curve there is no picture: a failed run leaves no image behind.
  fs::remove("input.dat");
  run = RunNlayer({"--plot", "failed.png"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Datei nicht gefunden.\n");
  EXPECT_FALSE(Exists("failed.png"));
  // The format comes from the name, checked before any run.
  run = RunNlayer({"--plot", "curve.jpg"});
  EXPECT_EQ(run.status, 2);
}
#endif

class BadCommandLineTest : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(BadCommandLineTest, IsRefusedWithOneLineAndStatusTwoBeforeAnyRun) {
  TempWorkDir dir;
  // A valid model and a stale output file: a run, had one started, would have changed it.
  fs::copy_file(kExamples / "one_layer" / "input.dat", dir.path() / "input.dat");
  dir.Write("reflectance.dat", "stale\r\n");
  const Outcome run = RunNlayer(GetParam());
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind("nlayer-run: ", 0), 0u) << run.err;
  ASSERT_FALSE(run.err.empty());
  EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "not one line: " << run.err;
  EXPECT_EQ(dir.Read("reflectance.dat"), "stale\r\n");
  EXPECT_FALSE(Exists("elsewhere.dat"));
}

INSTANTIATE_TEST_SUITE_P(
    NlayerRunTest, BadCommandLineTest,
    ::testing::Values(std::vector<std::string>{"--bogus"}, std::vector<std::string>{"input.dat"},
                      std::vector<std::string>{"--threads", "0"},
                      std::vector<std::string>{"--threads", "x"},
                      std::vector<std::string>{"--threads", "-1"},
                      std::vector<std::string>{"--threads", "2.5"},
                      std::vector<std::string>{"--threads", "1025"},
                      std::vector<std::string>{"--threads"}, std::vector<std::string>{"--input"},
                      std::vector<std::string>{"--output"},
                      std::vector<std::string>{"--output", "elsewhere.dat", "--threads", "0"},
                      std::vector<std::string>{"--output", "elsewhere.dat", "--unknown"}));

TEST(NlayerRunTest, AMissingInputFileLeavesAnEmptyOutputFile) {
  TempWorkDir dir;
  const Outcome run = RunNlayer({});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Datei nicht gefunden.\n");
  EXPECT_EQ(run.out, "");
  ASSERT_TRUE(Exists("reflectance.dat"));
  EXPECT_EQ(dir.Read("reflectance.dat"), "");
}

TEST(NlayerRunTest, AMissingInputPathEmptiesTheNamedOutputFile) {
  TempWorkDir dir;
  dir.Write("curve.out", "stale\r\n");
  const Outcome run = RunNlayer({"--input", "absent.dat", "--output", "curve.out"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Datei nicht gefunden.\n");
  EXPECT_EQ(dir.Read("curve.out"), "");
  EXPECT_FALSE(Exists("reflectance.dat"));
}

TEST(NlayerRunTest, AccessDeniedIsReportedForEitherFile) {
  if (geteuid() == 0) GTEST_SKIP() << "file permissions do not bind the superuser";
  TempWorkDir dir;
  fs::copy_file(kExamples / "one_layer" / "input.dat", dir.path() / "input.dat");
  fs::permissions(dir.path() / "input.dat", fs::perms::none);
  dir.Write("reflectance.dat", "stale\r\n");
  Outcome run = RunNlayer({});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Dateizugriff verweigert.\n");
  EXPECT_EQ(dir.Read("reflectance.dat"), "");

  fs::permissions(dir.path() / "input.dat", fs::perms::owner_read);
  dir.Write("reflectance.dat", "stale\r\n");
  fs::permissions(dir.path() / "reflectance.dat", fs::perms::owner_read);
  run = RunNlayer({});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "Dateizugriff verweigert.\n");
  EXPECT_EQ(dir.Read("reflectance.dat"), "stale\r\n");
}

struct FailingModel {
  const char* file;
  const char* message;
};

void PrintTo(const FailingModel& model, std::ostream* os) { *os << model.file; }

class FailingModelTest : public ::testing::TestWithParam<FailingModel> {};

TEST_P(FailingModelTest, EndsWithTheMessageAndATruncatedOutputFile) {
  TempWorkDir dir;
  fs::copy_file(kModels / GetParam().file, dir.path() / "input.dat");
  dir.Write("reflectance.dat", " 4.30000000000000E+0002    1.00000000000000E-0008\r\n");
  const Outcome run = RunNlayer({});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, std::string(GetParam().message) + "\n");
  EXPECT_EQ(run.out, "");
  ASSERT_TRUE(Exists("reflectance.dat"));
  EXPECT_EQ(dir.Read("reflectance.dat"), "");
}

INSTANTIATE_TEST_SUITE_P(
    NlayerRunTest, FailingModelTest,
    ::testing::Values(FailingModel{"semicolon.dat", "Ungültige numerische Eingabe."},
                      FailingModel{"fractional_layer_count.dat", "Ungültige numerische Eingabe."},
                      FailingModel{"negative_layer_count.dat", "Fehler bei Bereichsprüfung."},
                      FailingModel{"zero_layer_count.dat", "Fehler bei Bereichsprüfung."},
                      FailingModel{"zero_musp.dat", "Gleitkommadivision durch Null."},
                      FailingModel{"too_thick.dat", "Gleitkommaüberlauf."},
                      FailingModel{"huge_layer_count.dat", "Gleitkommadivision durch Null."}),
    [](const ::testing::TestParamInfo<FailingModel>& info) {
      std::string name = info.param.file;
      return name.substr(0, name.find('.'));
    });

}  // namespace
}  // namespace nlayer::testing
