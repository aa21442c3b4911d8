// End-to-end tests of the headless command nlayer-run: the binary is run in a fresh working
// directory, and its exit status, its messages and the file it leaves are checked against
// published whole-run values, exact runtime messages and the fixed line layout of the output.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <complex>
#include <numbers>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <iterator>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "io/model_file.h"
#include "io/text_file.h"
#include "nlayer/monte_carlo.h"
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

// Standard error of a failed plain run: the message as the window shows it, then one line
// explaining it that starts with the file (and line) it names.
void ExpectExplainedFailure(const std::string& err, const std::string& message, const std::string& explained) {
  const std::string head = message + "\n";
  ASSERT_EQ(err.substr(0, head.size()), head) << err;
  const std::string explanation = err.substr(head.size());
  EXPECT_EQ(explanation.rfind(explained, 0), 0u) << explanation;
  EXPECT_EQ(std::count(explanation.begin(), explanation.end(), '\n'), 1) << "not one line: " << explanation;
}

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
  // Computed as the window computes it, with a warning: a detector at the source means nothing.
  EXPECT_EQ(run.err.rfind("warning: " + (kModels / "no_rho.dat").string() + ": rho is missing", 0), 0u) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
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

// The adult head moved to longer distances: at 31 mm the run takes the extended panels and says
// so on a note line, not a warning (there is nothing to change); at 100 mm the transform's rounding would show, and the run fails with the
// German message and an English line naming rho and the longest distance, writing nothing.
TEST(NlayerRunTest, LongDistancesAreComputedOnPanelsOrRefused) {
  TempWorkDir dir;
  std::ifstream example(kExamples / "adult_head" / "input.dat");
  std::string head((std::istreambuf_iterator<char>(example)), std::istreambuf_iterator<char>());
  const std::size_t rho_line = head.rfind("\n30 ") + 1;
  for (const char* rho : {"31", "100"}) {
    std::ofstream(std::string("head") + rho + ".dat") << head.substr(0, rho_line) << rho << head.substr(rho_line + 2);
  }
  const Outcome near = RunModel("head31.dat", {"--output", "near.dat"});
  ASSERT_EQ(near.status, 0) << near.err;
  EXPECT_EQ(near.err.rfind("note: head31.dat:18: rho is 31 mm, where the 960-point rule over [0, 30 musp] loses digits;", 0),
            0u)
      << near.err;
  EXPECT_EQ(near.err.find("warning"), std::string::npos) << near.err;
  ExpectWellFormedCurve(dir.Read("near.dat"));

  const Outcome far = RunModel("head100.dat", {"--output", "far.dat"});
  EXPECT_EQ(far.status, 1);
  const std::size_t note_end = far.err.find('\n') + 1;
  ExpectExplainedFailure(far.err.substr(note_end), "Abstand zu groß für dieses Medium.",
                         "rho = 100 mm is too far for this medium:");
  EXPECT_NE(far.err.find("this medium can be computed up to about 8"), std::string::npos) << far.err;
  EXPECT_EQ(dir.Read("far.dat"), "");
}

// A slow half-space outlasts the run's 10240 ps: the run keeps its grid and its file, and says
// how much of the peak folds back onto the start, which the closed form confirms.
TEST(NlayerRunTest, ACurveThatOutlastsThePeriodIsWarnedAbout) {
  TempWorkDir dir;
  const Layer slow{1.0, 0.002, 1.4, 1.0};
  dir.Write("slow.dat", "1\n1\n0.002\n1.4\n1\n40\n");
  const Outcome run = RunModel("slow.dat", {"--output", "slow_out.dat"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::smatch warned = [&] {
    std::smatch m;
    std::regex_search(run.err, m, std::regex("^warning: the curve has not faded by the end of the run's 10240 ps: up to "
                                             "([0-9.e+-]+) of its peak folds back onto its first samples"));
    return m;
  }();
  ASSERT_FALSE(warned.empty()) << run.err;
  const ReflectanceFile file = ReadReflectanceFile(dir.Read("slow_out.dat"));
  ASSERT_EQ(file.error, "");
  long double peak = 0, worst = 0;
  for (const ReflectanceSample& sample : file.samples) {
    const long double exact = HalfSpaceTimeClosedForm(slow, 40, sample.time_ps);
    peak = std::max(peak, exact);
    worst = std::max(worst, std::fabs(sample.value - exact));
  }
  // The stated part is a bound of the error, and not a loose one.
  EXPECT_LE(worst / peak, std::stod(warned[1]) * 1.05L);
  EXPECT_GE(worst / peak, std::stod(warned[1]) / 30);

  // A curve that fades in time is not warned about.
  const Outcome quick = RunModel(kModels / "two_layer.dat", {"--output", "quick.dat"});
  EXPECT_EQ(quick.err.find("has not faded"), std::string::npos) << quick.err;
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
  for (const char* option : {"--input", "--output", "--threads", "--help", "--version", "--csv", "--rho", "--dt",
                             "--samples", "--fd"}) {
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
  ExpectExplainedFailure(run.err, "Datei nicht gefunden.", "input.dat: No such file or directory");
  EXPECT_FALSE(Exists("failed.png"));
  // The format comes from the name, checked before any run.
  run = RunNlayer({"--plot", "curve.jpg"});
  EXPECT_EQ(run.status, 2);
}

// The headless programs start without Qt: the pictures come from a module opened only for
// --plot, and a program without it (copied away from its installation) says which file it lacks
// and leaves no image, while its runs without a picture are unharmed.
TEST(NlayerRunTest, OnlyAPictureLoadsQt) {
  TempWorkDir dir;
  for (const char* program : {NLAYER_RUN_PATH, NLAYER_FIT_PATH}) {
    const CommandOutcome needed = RunCommand("/usr/bin/readelf", {"-d", program});
    ASSERT_EQ(needed.status, 0) << needed.err;
    EXPECT_NE(needed.out.find("(NEEDED)"), std::string::npos);
    EXPECT_EQ(needed.out.find("libQt"), std::string::npos) << program << " links Qt:\n" << needed.out;
  }
  fs::create_directories("bin");
  fs::copy_file(NLAYER_RUN_PATH, "bin/nlayer-run");
  fs::copy_file(kExamples / "one_layer" / "input.dat", dir.path() / "input.dat");
  Outcome run = RunCommand(dir.path() / "bin/nlayer-run", {"--plot", "curve.png"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("the plotting module " + (dir.path() / "lib").string()), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("is missing"), std::string::npos) << run.err;
  EXPECT_FALSE(Exists("curve.png"));
  run = RunCommand(dir.path() / "bin/nlayer-run", {});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(SevenDigits(ValueAt(ParseCurve(dir.Read("reflectance.dat")), 430)), "1.180846e-08");
}
#else
// Without the image export (NLAYER_BUILD_PLOT off) --plot is a bad command line in both
// commands: refused in one line with status 2 before anything is read or written, as a script
// that asked for a picture must not take a run without one for success.
TEST(NlayerRunTest, PlotIsRefusedByBothCommandsInABuildWithoutTheImageExport) {
  TempWorkDir dir;
  fs::copy_file(kExamples / "one_layer" / "input.dat", dir.path() / "input.dat");
  dir.Write("reflectance.dat", "stale\r\n");
  const Outcome run = RunNlayer({"--threads", "1", "--plot", "curve.png"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "nlayer-run: --plot is not available: this nlayer-run was built without Qt\n");
  EXPECT_EQ(dir.Read("reflectance.dat"), "stale\r\n");
  const Outcome fit = RunCommand(NLAYER_FIT_PATH, {"--measured", "m.csv", "--irf", "irf.csv", "--model", "input.dat",
                                                   "--free", "mua1", "--plot", "fit.svg", "--csv", "fit.csv"});
  EXPECT_EQ(fit.status, 2);
  EXPECT_EQ(fit.out, "");
  EXPECT_EQ(fit.err, "nlayer-fit: --plot is not available: this nlayer-fit was built without Qt\n");
  EXPECT_FALSE(Exists("curve.png"));
  EXPECT_FALSE(Exists("fit.svg"));
  EXPECT_FALSE(Exists("fit.csv"));
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
                      std::vector<std::string>{"--output", "elsewhere.dat", "--unknown"},
                      // Table mode: bad lists and values, and options that do not go together.
                      std::vector<std::string>{"--csv", "elsewhere.dat", "--rho", "10,,20"},
                      std::vector<std::string>{"--csv", "elsewhere.dat", "--rho", "abc"},
                      std::vector<std::string>{"--csv", "elsewhere.dat", "--rho", "10,-5"},
                      std::vector<std::string>{"--csv", "elsewhere.dat", "--samples", "1000"},
                      std::vector<std::string>{"--csv", "elsewhere.dat", "--dt", "-1"},
                      std::vector<std::string>{"--csv", "elsewhere.dat", "--fd", "1e13"},
                      std::vector<std::string>{"--csv", "elsewhere.dat", "--fd", "0", "--dt", "5"},
                      std::vector<std::string>{"--csv", "elsewhere.dat", "--fd", "0", "--plot", "x.png"},
                      std::vector<std::string>{"--csv", "elsewhere.dat", "--output", "x.dat"},
                      std::vector<std::string>{"--rho", "10"}));

TEST(NlayerRunTest, AMissingInputFileLeavesAnEmptyOutputFile) {
  TempWorkDir dir;
  const Outcome run = RunNlayer({});
  EXPECT_EQ(run.status, 1);
  ExpectExplainedFailure(run.err, "Datei nicht gefunden.", "input.dat: No such file or directory");
  EXPECT_EQ(run.out, "");
  ASSERT_TRUE(Exists("reflectance.dat"));
  EXPECT_EQ(dir.Read("reflectance.dat"), "");
}

TEST(NlayerRunTest, AMissingInputPathEmptiesTheNamedOutputFile) {
  TempWorkDir dir;
  dir.Write("curve.out", "stale\r\n");
  const Outcome run = RunNlayer({"--input", "absent.dat", "--output", "curve.out"});
  EXPECT_EQ(run.status, 1);
  ExpectExplainedFailure(run.err, "Datei nicht gefunden.", "absent.dat: No such file or directory");
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
  ExpectExplainedFailure(run.err, "Dateizugriff verweigert.", "input.dat: Permission denied");
  EXPECT_EQ(dir.Read("reflectance.dat"), "");

  fs::permissions(dir.path() / "input.dat", fs::perms::owner_read);
  dir.Write("reflectance.dat", "stale\r\n");
  fs::permissions(dir.path() / "reflectance.dat", fs::perms::owner_read);
  run = RunNlayer({});
  EXPECT_EQ(run.status, 1);
  ExpectExplainedFailure(run.err, "Dateizugriff verweigert.", "reflectance.dat: Permission denied");
  EXPECT_EQ(dir.Read("reflectance.dat"), "stale\r\n");
}

struct FailingModel {
  const char* file;
  const char* message;
  const char* explained;  // how the explanation starts: the line and value at fault
};

void PrintTo(const FailingModel& model, std::ostream* os) { *os << model.file; }

class FailingModelTest : public ::testing::TestWithParam<FailingModel> {};

TEST_P(FailingModelTest, EndsWithTheMessageAndATruncatedOutputFile) {
  TempWorkDir dir;
  fs::copy_file(kModels / GetParam().file, dir.path() / "input.dat");
  dir.Write("reflectance.dat", " 4.30000000000000E+0002    1.00000000000000E-0008\r\n");
  const Outcome run = RunNlayer({});
  EXPECT_EQ(run.status, 1);
  ExpectExplainedFailure(run.err, GetParam().message, GetParam().explained);
  EXPECT_EQ(run.out, "");
  ASSERT_TRUE(Exists("reflectance.dat"));
  EXPECT_EQ(dir.Read("reflectance.dat"), "");
}

INSTANTIATE_TEST_SUITE_P(
    NlayerRunTest, FailingModelTest,
    ::testing::Values(
        FailingModel{"semicolon.dat", "Ungültige numerische Eingabe.", "input.dat:4: \"1.4;\" is not a number"},
        FailingModel{"fractional_layer_count.dat", "Ungültige numerische Eingabe.",
                     "input.dat:1: \"1.0\" is not a layer count"},
        FailingModel{"negative_layer_count.dat", "Fehler bei Bereichsprüfung.", "input.dat:1: the layer count is -1"},
        FailingModel{"zero_layer_count.dat", "Fehler bei Bereichsprüfung.", "input.dat:1: the layer count is 0"},
        FailingModel{"zero_musp.dat", "Gleitkommadivision durch Null.", "input.dat:2: musp of layer 1 is 0"},
        FailingModel{"too_thick.dat", "Gleitkommaüberlauf.",
                     "input.dat: the stack of 2 layers is 405 mm thick in all (d = 5 mm (line 5), 400 mm (line 9))"},
        // The file's rho, 20 on line 6, becomes the second layer's mus'; what follows is missing.
        FailingModel{"huge_layer_count.dat", "Gleitkommadivision durch Null.",
                     "input.dat:1: the layer count is 2147483647, but the file ends before mua of layer 2 (its last "
                     "value, 20 on line 6, is read as musp of layer 2)"}),
    [](const ::testing::TestParamInfo<FailingModel>& info) {
      std::string name = info.param.file;
      return name.substr(0, name.find('.'));
    });

// ---------------------------------------------------------------------------------------------
// Table mode.

using Table = std::vector<std::vector<std::string>>;

Table CsvCells(const std::string& text) {
  Table rows;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    std::vector<std::string>& row = rows.emplace_back();
    const std::string line = text.substr(start, end - start);
    for (std::size_t from = 0, comma;; from = comma + 1) {
      comma = line.find(',', from);
      row.push_back(line.substr(from, comma == std::string::npos ? comma : comma - from));
      if (comma == std::string::npos) break;
    }
  }
  EXPECT_EQ(start, text.size()) << "the table does not end with a line end";
  return rows;
}

std::vector<std::string> Column(const Table& table, std::size_t column) {
  std::vector<std::string> cells;
  for (std::size_t row = 1; row < table.size(); ++row) cells.push_back(table[row].at(column));
  return cells;
}

// Runs table mode on `model` into `csv` and returns the table, failing the test on any error.
Table TableOf(const fs::path& model, const std::string& csv, std::vector<std::string> extra) {
  extra.insert(extra.end(), {"--input", model.string(), "--csv", csv});
  const Outcome run = RunNlayer(extra);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  std::ifstream in(csv, std::ios::binary);
  return CsvCells(std::string(std::istreambuf_iterator<char>(in), {}));
}

TEST(NlayerRunTableTest, EachDistancesColumnIsTheColumnOfThatDistanceAlone) {
  TempWorkDir dir;
  const Table all = TableOf(kModels / "two_layer.dat", "all.csv", {"--rho", "10,20,30"});
  ASSERT_EQ(all.size(), 513u);
  EXPECT_EQ(all[0], (std::vector<std::string>{"t_ps", "R_10mm", "R_20mm", "R_30mm"}));
  for (std::size_t row = 1; row < all.size(); ++row) ASSERT_EQ(all[row][0], std::to_string(10 * row));
  for (std::size_t r = 0; r < 3; ++r) {
    const std::string rho = std::to_string(10 * (r + 1));
    const Table alone = TableOf(kModels / "two_layer.dat", "alone.csv", {"--rho", rho});
    EXPECT_EQ(alone[0][1], "R_" + rho + "mm");
    EXPECT_TRUE(Column(alone, 1) == Column(all, r + 1)) << "rho " << rho;
  }
  // Without --rho the file's distance (20 mm) is the one column, and a run touches no other file.
  const Table from_file = TableOf(kModels / "two_layer.dat", "file.csv", {});
  EXPECT_EQ(from_file[0], (std::vector<std::string>{"t_ps", "R_20mm"}));
  EXPECT_TRUE(Column(from_file, 1) == Column(all, 2));
  EXPECT_FALSE(Exists("reflectance.dat"));
  // The distance is named as written.
  EXPECT_EQ(TableOf(kModels / "two_layer.dat", "named.csv", {"--rho", "2.5, 1e1"})[0],
            (std::vector<std::string>{"t_ps", "R_2.5mm", "R_1e1mm"}));
}

TEST(NlayerRunTableTest, MonteCarloTableHoldsTheLibrarysRunAndItsErrors) {
  TempWorkDir dir;
  const fs::path model = kExamples / "one_layer" / "input.dat";
  const std::vector<std::string> options{"--engine", "mc", "--photons", "3000", "--seed", "9", "--rho", "5,10",
                                         "--width", "4", "--dt", "100", "--samples", "32"};
  std::vector<std::string> two_threads = options;
  two_threads.insert(two_threads.end(), {"--threads", "2"});
  const Table table = TableOf(model, "mc.csv", two_threads);
  ASSERT_EQ(table.size(), 17u);
  EXPECT_EQ(table[0], (std::vector<std::string>{"t_ps", "R_5mm", "SE_5mm", "R_10mm", "SE_10mm"}));
  // The columns are the library's run of the model file with the same seed, to the last digit.
  const MonteCarloCurves expected = MonteCarlo(ReadModelFile(model).medium, {5.0L, 10.0L}, {100.0, 32},
                                               {.photons = 3000, .width_mm = 4.0, .seed = 9});
  for (std::size_t row = 1; row < table.size(); ++row) {
    EXPECT_EQ(std::stod(table[row][0]), expected.t_ps[row - 1]);
    for (std::size_t r = 0; r < 2; ++r) {
      EXPECT_EQ(std::stod(table[row][1 + 2 * r]), expected.Curve(r)[row - 1]) << "row " << row;
      EXPECT_EQ(std::stod(table[row][2 + 2 * r]), expected.StandardError(r)[row - 1]) << "row " << row;
    }
  }
  // One thread, the same bytes; another seed, other numbers.
  const Table one_thread = TableOf(model, "one.csv", options);
  EXPECT_EQ(one_thread, table);
  std::vector<std::string> reseeded = options;
  reseeded[5] = "10";
  EXPECT_NE(TableOf(model, "seed.csv", reseeded), table);
  // The simulation gives curves in time only.
  const Outcome refused = RunNlayer({"--input", model.string(), "--csv", "fd.csv", "--engine", "mc", "--fd", "0"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_NE(refused.err.find("does not apply to --fd"), std::string::npos) << refused.err;
}

TEST(NlayerRunTableTest, TheColumnAgreesWithTheWindowsRunWhereverThatKeepsASample) {
  TempWorkDir dir;
  ASSERT_EQ(RunModel(kModels / "two_layer.dat").status, 0);
  const std::vector<Sample> curve = ParseCurve(dir.Read("reflectance.dat"));
  const Table table = TableOf(kModels / "two_layer.dat", "t.csv", {"--rho", "20", "--threads", "2"});
  ASSERT_EQ(table.size(), 513u);
  ASSERT_GT(curve.size(), 100u);
  double peak = 0;
  for (const Sample& s : curve) peak = std::max(peak, static_cast<double>(s.value));
  for (const Sample& s : curve) {
    // The file holds 15 significant digits, and table mode computes the library's form of the
    // layered solution, which rounds otherwise: equal to the transform's rounding, some 1e-15
    // of the peak.
    const double value = std::stod(table.at(static_cast<std::size_t>(s.time_ps / 10)).at(1));
    EXPECT_LE(std::fabs(value - static_cast<double>(s.value)), 1e-14 * peak) << s.time_ps << " ps";
  }
}

TEST(NlayerRunTableTest, FrequencyTableOfAHalfSpaceIsTheClosedForm) {
  TempWorkDir dir;
  const Table table = TableOf(kExamples / "one_layer" / "input.dat", "fd.csv", {"--fd", "0,1e8", "--rho", "10,20"});
  ASSERT_EQ(table.size(), 5u);
  EXPECT_EQ(table[0], (std::vector<std::string>{"f_hz", "rho_mm", "re", "im", "amplitude", "phase_rad"}));
  const std::vector<std::pair<double, double>> order = {{0, 10}, {0, 20}, {1e8, 10}, {1e8, 20}};
  for (std::size_t row = 1; row < table.size(); ++row) {
    const auto [f, rho] = order[row - 1];
    ASSERT_EQ(table[row].size(), 6u);
    EXPECT_EQ(std::stod(table[row][0]), f);
    EXPECT_EQ(std::stod(table[row][1]), rho);
    const std::complex<double> value(std::stod(table[row][2]), std::stod(table[row][3]));
    const std::complex<double> expected = nlayer::testing::HalfSpaceClosedForm(nlayer::Layer{1.0L, 0.01L, 1.4L, 1.0L}, rho, f);
    // The transform stops at 30 mus', which drops less than 2e-14 mm^-2 at these distances.
    EXPECT_LT(std::abs(value - expected), 2e-14 + 1e-12 * std::abs(expected)) << f << " Hz, " << rho << " mm";
    EXPECT_EQ(std::stod(table[row][4]), std::abs(value));
    EXPECT_EQ(std::stod(table[row][5]), -std::arg(value));
    if (f == 0) {
      EXPECT_EQ(table[row][3], "0");
      EXPECT_EQ(table[row][5], "0");
    } else {
      EXPECT_GT(std::stod(table[row][5]), 0) << "the phase lag of a causal curve";
    }
  }
}

// The curve is the inverse DFT of the spectrum at k / (samples dt), so dt times the sum over a
// whole period is R~(0). The table holds t = dt ... samples/2 dt only. What arrives later is
// below 1e-20 of the peak here (mua c / n > 2e-3 per ps), but a spectrum cut at 1 / (2 dt)
// rings before the light arrives, and that ringing at t <= 0 is left out: 1e-10 of the integral
// at 20 mm, 2e-9 at 30 mm, whatever the period.
TEST(NlayerRunTableTest, ContinuousWaveIsTheTimeIntegralOfTheCurve) {
  TempWorkDir dir;
  const Table cw = TableOf(kModels / "two_layer.dat", "cw.csv", {"--fd", "0", "--rho", "20,30"});
  const Table curves = TableOf(kModels / "two_layer.dat", "td.csv", {"--rho", "20,30", "--samples", "2048"});
  ASSERT_EQ(curves.size(), 1025u);
  EXPECT_EQ(curves.back()[0], "10240");
  for (std::size_t r = 0; r < 2; ++r) {
    long double sum = 0;
    for (const std::string& cell : Column(curves, r + 1)) sum += std::stold(cell) * 10;
    EXPECT_LE(RelErr(sum, std::stold(cw.at(r + 1).at(2))), 1e-8L) << "rho column " << r;
  }
}

TEST(NlayerRunTableTest, AFailedRunLeavesTheOldTableAsItWas) {
  TempWorkDir dir;
  const std::string old_table = "t_ps,R_20mm\n10,1\n";
  struct Case {
    std::string model;
    std::vector<std::string> args;
    std::string message;
  };
  const std::string lines_1_to_6 = "2\n1\n0.01\n1.4\n5\n2\n";
  const std::vector<Case> cases = {
      {lines_1_to_6 + "-0.01\n1.4\n15\n20\n", {}, "input.dat:7: mua of layer 2 is -0.01; it must be >= 0 and finite\n"},
      {lines_1_to_6 + "0.03\n1.4\n0\n20\n", {}, "input.dat:9: d of layer 2 is 0; it must be > 0 and finite\n"},
      {lines_1_to_6 + "0.03\n1.4\n15\n", {},
       "input.dat: rho is missing (the file ends before it); give it on the last line or with --rho\n"},
      {"1\n1\n0.01\n1,4\n10\n", {"--rho", "20"}, "input.dat:4: \"1,4\" is not a number\n"},
      {lines_1_to_6 + "0.03\n1.4\n15\n", {"--input", "absent.dat"}, "absent.dat: No such file or directory\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    dir.Write("input.dat", c.model);
    dir.Write("t.csv", old_table);
    std::vector<std::string> args = {"--csv", "t.csv"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome run = RunNlayer(args);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, c.message);
    EXPECT_EQ(dir.Read("t.csv"), old_table);
  }
  // A fault of the model's arithmetic is the library's English sentence: mua / D of the bottom
  // layer beyond the extended range.
  dir.Write("t.csv", old_table);
  dir.Write("extreme.dat", "2\n1\n0.01\n1.4\n5\n1\n1e4932\n1.4\n20\n20\n");
  Outcome run = RunNlayer({"--input", "extreme.dat", "--csv", "t.csv"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.rfind("nlayer-run: floating-point overflow in the ", 0), 0u) << run.err;
  EXPECT_EQ(dir.Read("t.csv"), old_table);
  fs::remove("extreme.dat");
  // A stack the plain run refuses as too thick is computed in table mode.
  run = RunNlayer({"--input", (kModels / "too_thick.dat").string(), "--csv", "t.csv"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(dir.Read("t.csv"), old_table);
  // A table that cannot replace its file names it, and leaves nothing behind.
  fs::create_directory("folder.csv");
  run = RunNlayer({"--input", (kModels / "two_layer.dat").string(), "--csv", "folder.csv"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "nlayer-run: cannot write folder.csv: Is a directory\n");
  std::vector<std::string> entries;
  for (const auto& entry : fs::directory_iterator(dir.path())) entries.push_back(entry.path().filename().string());
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{"folder.csv", "input.dat", "t.csv"}));
  EXPECT_TRUE(fs::is_empty("folder.csv"));
}

// Files written after the computation are checked before it; the message names the file.
TEST(NlayerRunTableTest, AnOutputThatCannotBeWrittenEndsTheCommandBeforeItComputes) {
  TempWorkDir dir;
  fs::copy_file(kModels / "two_layer.dat", dir.path() / "input.dat");
  const std::string no_dir = ": No such file or directory\n";
  Outcome run = RunNlayer({"--csv", "/no/such/dir/t.csv"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "nlayer-run: cannot write /no/such/dir/t.csv" + no_dir);
#if NLAYER_HAVE_PLOT
  // The picture comes last, after the table or the plain run's curve: neither is made.
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--csv", "t.csv", "--plot", "/no/such/dir/p.png"},
                                               std::vector<std::string>{"--plot", "/no/such/dir/p.png"}}) {
    run = RunNlayer(args);
    EXPECT_EQ(run.status, 1) << args[0];
    EXPECT_EQ(run.err, "nlayer-run: cannot write /no/such/dir/p.png" + no_dir);
    EXPECT_FALSE(Exists("t.csv"));
    EXPECT_FALSE(Exists("reflectance.dat"));
  }
#endif
  // nlayer-fit checks its outputs before it even reads its inputs.
  run = RunCommand(NLAYER_FIT_PATH, {"--measured", "m.csv", "--irf", "irf.csv", "--model", "input.dat", "--free",
                                     "mua1", "--csv", "/no/such/dir/fit.csv"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "nlayer-fit: cannot write /no/such/dir/fit.csv" + no_dir);

  // Standard output named as the table's file gets the table, not a file in its place.
  ASSERT_EQ(RunNlayer({"--csv", "t.csv", "--samples", "64"}).status, 0);
  run = RunNlayer({"--csv", "/proc/self/fd/1", "--samples", "64"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, dir.Read("t.csv"));
}

#if NLAYER_HAVE_PLOT
TEST(NlayerRunTableTest, PlotNamesEveryDistanceInTheLegend) {
  TempWorkDir dir;
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  const Table table = TableOf(kModels / "two_layer.dat", "t.csv", {"--rho", "10,2.5", "--plot", "curves.svg"});
  EXPECT_EQ(table.size(), 513u);
  const std::string svg = dir.Read("curves.svg");
  EXPECT_NE(svg.find("\u03c1 = 10 "), std::string::npos);
  EXPECT_NE(svg.find("\u03c1 = 2.5 "), std::string::npos);
}
#endif


// Nothing a command writes may destroy what it reads or what was there before.
TEST(NlayerRunTest, AnOutputThatIsTheModelIsRefusedBeforeAnythingIsTouched) {
  TempWorkDir dir;
  const std::string model = ReadWhole(kExamples / "one_layer" / "input.dat");
  dir.Write("m.dat", model);
  fs::create_symlink("m.dat", dir.path() / "symlink.dat");
  fs::create_hard_link(dir.path() / "m.dat", dir.path() / "hardlink.dat");
  std::vector<std::vector<std::string>> cases = {{"--input", "m.dat", "--output", "m.dat"},
                                                 {"--input", "m.dat", "--output", "symlink.dat"},
                                                 {"--input", "symlink.dat", "--output", "hardlink.dat"},
                                                 {"--input", "m.dat", "--csv", "hardlink.dat"}};
#if NLAYER_HAVE_PLOT
  cases.push_back({"--input", "m.dat", "--plot", "symlink.dat.png"});
#endif
  for (const std::vector<std::string>& args : cases) {
    if (args.back() == "symlink.dat.png") fs::create_symlink("m.dat", dir.path() / "symlink.dat.png");
    const Outcome run = RunNlayer(args);
    EXPECT_EQ(run.status, 2) << args[3];
    EXPECT_NE(run.err.find("is the model file"), std::string::npos) << run.err;
    EXPECT_EQ(dir.Read("m.dat"), model) << args[3];
    EXPECT_FALSE(Exists("reflectance.dat"));
  }
}

TEST(NlayerRunTest, AReportThatCannotBeWrittenFailsTheCommand) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--help"}, std::vector<std::string>{"--version"},
        std::vector<std::string>{"--moments", "--input", (kExamples / "one_layer" / "input.dat").string()}}) {
    // The shell's redirection is the way a full device reaches standard output.
    std::string command = std::string(NLAYER_RUN_PATH);
    for (const std::string& arg : args) command += " '" + arg + "'";
    const int status = std::system((command + " >/dev/full 2>/dev/null").c_str());
    ASSERT_TRUE(WIFEXITED(status)) << command;
    EXPECT_EQ(WEXITSTATUS(status), 1) << command;
  }
}

TEST(NlayerRunTest, NulBytesAndEndlessDevicesAreNoModel) {
  TempWorkDir dir;
  dir.Write("utf16.dat", std::string("1\0\n\0001\0\n\0", 8));
  Outcome run = RunNlayer({"--input", "utf16.dat"});
  EXPECT_EQ(run.status, 1);
  ExpectExplainedFailure(run.err, "Ungültige numerische Eingabe.", "utf16.dat:1: a NUL byte");
  // A device is read by the run alone: a second reader would take its bytes. The explanation
  // says so instead of naming a line.
  run = RunNlayer({"--input", "/dev/zero"});
  EXPECT_EQ(run.status, 1);
  ExpectExplainedFailure(run.err, "Ungültige numerische Eingabe.", "/dev/zero is a character device, not a file");
  // Text that does not finish a model within the reader's cap is no model either.
  dir.Write("blank.dat", "1\n" + std::string(kMaxModelFileBytes, ' '));
  run = RunNlayer({"--input", "blank.dat"});
  EXPECT_EQ(run.status, 1);
  ExpectExplainedFailure(run.err, "Ungültige numerische Eingabe.", "blank.dat: more than 4 MiB before the model's last value");
  run = RunNlayer({"--input", "blank.dat", "--csv", "t.csv"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "blank.dat: more than 4 MiB before the model's last value; a model file is a few lines of numbers\n");
}

// Eight runs at once on one output file, two models in turn: each run holds the file from
// creating it to closing it, so a run either writes its whole curve or finds the file held and
// fails at once without touching it. The file is always one run's whole curve.
TEST(NlayerRunTest, RunsAtOnceNeverMixTheirCurves) {
  TempWorkDir dir;
  fs::copy_file(kExamples / "one_layer" / "input.dat", dir.path() / "a.dat");
  fs::copy_file(kModels / "two_layer.dat", dir.path() / "b.dat");
  std::string curve[2];
  for (int m = 0; m < 2; ++m) {
    ASSERT_EQ(RunNlayer({"--input", m == 0 ? "a.dat" : "b.dat", "--output", m == 0 ? "a.out" : "b.out"}).status, 0);
    curve[m] = dir.Read(m == 0 ? "a.out" : "b.out");
  }
  std::vector<std::future<Outcome>> runs;
  for (int i = 0; i < 8; ++i) {
    runs.push_back(std::async(std::launch::async, [i, path = dir.path()] {
      return RunCommand(NLAYER_RUN_PATH, {"--input", i % 2 == 0 ? "a.dat" : "b.dat", "--output", "shared.dat",
                                          "--threads", "1"}, path);
    }));
  }
  int succeeded = 0;
  for (auto& run : runs) {
    const Outcome outcome = run.get();
    if (outcome.status == 0) {
      ++succeeded;
    } else {
      EXPECT_EQ(outcome.status, 1);
      ExpectExplainedFailure(outcome.err, "E/A-Fehler " + std::to_string(EWOULDBLOCK) + ".",
                             "shared.dat: Resource temporarily unavailable; another run is writing this file");
    }
  }
  EXPECT_GE(succeeded, 1);
  const std::string shared = dir.Read("shared.dat");
  EXPECT_TRUE(shared == curve[0] || shared == curve[1]) << shared.size() << " bytes of neither curve";
}

#if NLAYER_HAVE_PLOT
TEST(NlayerRunTest, AnImageThatCannotBeWrittenLeavesTheOldOne) {
  TempWorkDir dir;
  const fs::path small_dir = dir.path() / "small";
  const SmallFileSystem small(small_dir, "64k");
  if (!small.mounted()) GTEST_SKIP() << small.error();
  fs::copy_file(kExamples / "one_layer" / "input.dat", small_dir / "input.dat");
  ASSERT_EQ(RunCommand(NLAYER_RUN_PATH, {"--plot", "keep.png"}, small_dir).status, 0);
  const std::string before = ReadWhole(small_dir / "keep.png");
  ASSERT_GT(before.size(), 1000u);
  small.Fill("filler");
  const Outcome run =
      RunCommand(NLAYER_RUN_PATH, {"--plot", "keep.png", "--output", (dir.path() / "r.dat").string()}, small_dir);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("keep.png"), std::string::npos) << run.err;
  EXPECT_EQ(ReadWhole(small_dir / "keep.png"), before);
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(small_dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"filler", "input.dat", "keep.png", "reflectance.dat"}));
}
#endif

// --moments: the model's moments and their sensitivities, as the library computes them.
// nlayer-fit's statuses: 0 for a fit without flags, 3 for one that ran but is flagged (the
// report printed all the same, the flags' sentences in one line on standard error), 2 for a
// shift that is no number. --json writes the same verdict for programs.
TEST(NlayerFitTest, AFlaggedFitEndsWithStatusThreeAndSaysWhy) {
  TempWorkDir dir;
  const fs::path fit = kExamples / "fit";
  dir.Write("start.dat", "1\n1.3\n0.012\n1.4\n10\n30\n");
  const std::vector<std::string> common = {"--measured", (fit / "measured.csv").string(), "--irf",
                                           (fit / "irf.csv").string(), "--free", "mua1,musp1", "--threads", "1"};
  auto run = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = common;
    args.insert(args.end(), extra.begin(), extra.end());
    return RunCommand(NLAYER_FIT_PATH, args);
  };

  Outcome done = run({"--model", (fit / "input.dat").string(), "--json", "good.json"});
  EXPECT_EQ(done.status, 0) << done.err;
  EXPECT_EQ(done.err, "");
  EXPECT_EQ(done.out.rfind("mua1 = 0.00995", 0), 0u) << done.out;
  EXPECT_NE(done.out.find("\nverdict: success (no flag)\n"), std::string::npos) << done.out;
  EXPECT_NE(dir.Read("good.json").find("\"success\": true"), std::string::npos);

  done = run({"--model", "start.dat", "--bounds", "mua1=0.0105:0.1", "--json", "bound.json"});
  EXPECT_EQ(done.status, 3);
  EXPECT_EQ(done.out.rfind("mua1 = 0.0105 +- ", 0), 0u) << done.out;
  EXPECT_NE(done.out.find("verdict: NOT to be trusted (1 flag)\n  at_bound: mua1 stopped at its lower bound 0.0105"),
            std::string::npos)
      << done.out;
  EXPECT_EQ(done.err.rfind("nlayer-fit: the fit is not to be trusted: mua1 stopped at its lower bound 0.0105: ", 0), 0u)
      << done.err;
  EXPECT_EQ(std::count(done.err.begin(), done.err.end(), '\n'), 1);
  const std::string json = dir.Read("bound.json");
  EXPECT_NE(json.find("\"success\": false"), std::string::npos) << json;
  EXPECT_NE(json.find("\"kind\": \"at_bound\""), std::string::npos) << json;

  done = run({"--model", (fit / "input.dat").string(), "--shift-ps", "nan"});
  EXPECT_EQ(done.status, 2);
  EXPECT_EQ(done.err, "nlayer-fit: --shift-ps: needs one shift in ps: \"nan\" is not a number\n");
}

TEST(NlayerRunTest, MomentsPrintsTheMomentsAndOneLineAPerLayer) {
  TempWorkDir dir;
  fs::copy_file(kExamples / "adult_head" / "input.dat", dir.path() / "input.dat");
  const Outcome run = RunNlayer({"--moments"});
  ASSERT_EQ(run.status, 0) << run.err;
  std::istringstream lines(run.out);
  std::string line;
  std::vector<std::string> all;
  while (std::getline(lines, line)) all.push_back(line);
  ASSERT_EQ(all.size(), 3u + 4u) << run.out;
  EXPECT_EQ(all[0].rfind("total = ", 0), 0u);
  EXPECT_NE(all[0].find(" mm^-2"), std::string::npos);
  EXPECT_EQ(all[1].rfind("mean_time = ", 0), 0u);
  EXPECT_EQ(all[2].rfind("variance = ", 0), 0u);
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(all[3 + k].rfind("layer " + std::to_string(k + 1) + ": mpp = ", 0), 0u) << all[3 + k];
  }
  // The mean time is that of the curve: the table's curve over a long window weighs to it.
  const double mean = std::stod(all[1].substr(12));
  ASSERT_EQ(RunNlayer({"--csv", "curve.csv", "--samples", "4096"}).status, 0);
  std::istringstream table(dir.Read("curve.csv"));
  std::getline(table, line);
  double sum = 0, weighted = 0;
  while (std::getline(table, line)) {
    const double t = std::stod(line), r = std::stod(line.substr(line.find(',') + 1));
    sum += r, weighted += r * t;
  }
  EXPECT_NEAR(weighted / sum, mean, 1e-6 * mean);
}

// ---------------------------------------------------------------------------------------------
// Every option of both command lines: --help names it with a one-line description, and a bad
// use of it is a bad command line (status 2, nothing on standard output, one line on standard
// error that names the option and says what it needs).

struct OptionCase {
  const char* program;  // "nlayer-run" or "nlayer-fit"
  const char* option;
  std::vector<std::string> bad;  // a command line that misuses the option; empty for --help, --version
  const char* rule;              // what the message says is needed
};

void PrintTo(const OptionCase& c, std::ostream* os) { *os << c.program << " " << c.option; }

const std::vector<std::string> kFitInputs = {"--measured", "m.csv", "--irf", "irf.csv", "--model", "input.dat"};

std::vector<std::string> Fit(std::vector<std::string> extra, bool with_free = true) {
  std::vector<std::string> args = kFitInputs;
  if (with_free) args.insert(args.end(), {"--free", "mua1"});
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

class CommandLineOptionTest : public ::testing::TestWithParam<OptionCase> {};

TEST_P(CommandLineOptionTest, HelpDescribesItAndABadValueIsRefusedNamingIt) {
  const OptionCase& c = GetParam();
  const std::string program = std::string(c.program) == "nlayer-run" ? NLAYER_RUN_PATH : NLAYER_FIT_PATH;
  TempWorkDir dir;
  fs::copy_file(kExamples / "one_layer" / "input.dat", dir.path() / "input.dat");
  dir.Write("m.csv", "t_ps,counts\n0,1\n10,2\n");
  dir.Write("irf.csv", "t_ps,counts\n0,1\n10,0\n");

  const Outcome help = RunCommand(program, {"--help"}, dir.path());
  ASSERT_EQ(help.status, 0) << help.err;
  // "  --threads N      worker threads ...", "  -h,--help  print ...": the option, its value, text.
  const std::regex line("(^|\\n) +(-h,)?" + std::string(c.option) + "( [A-Z][A-Z,|]*)? +[a-z(\"]");
  EXPECT_TRUE(std::regex_search(help.out, line)) << c.option << " is not described in:\n" << help.out;

  if (c.bad.empty()) return;
  const Outcome run = RunCommand(program, c.bad, dir.path());
  EXPECT_EQ(run.status, 2) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind(std::string(c.program) + ": ", 0), 0u) << run.err;
  EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "not one line: " << run.err;
  EXPECT_NE(run.err.find(c.option), std::string::npos) << run.err;
  EXPECT_NE(run.err.find(c.rule), std::string::npos) << run.err;
  EXPECT_FALSE(Exists("reflectance.dat"));
}

INSTANTIATE_TEST_SUITE_P(
    BothPrograms, CommandLineOptionTest,
    ::testing::Values(
        OptionCase{"nlayer-run", "--help", {}, ""}, OptionCase{"nlayer-run", "--version", {}, ""},
        OptionCase{"nlayer-run", "--input", {"--input"}, "needs a value"},
        OptionCase{"nlayer-run", "--output", {"--output", "input.dat"}, "is the model file"},
        OptionCase{"nlayer-run", "--threads", {"--threads", "1025"}, "a whole number from 1 to 1024"},
#if NLAYER_HAVE_PLOT
        OptionCase{"nlayer-run", "--plot", {"--plot", "curve.jpg"}, ".png or .svg"},
#else
        OptionCase{"nlayer-run", "--plot", {"--plot", "curve.png"}, "built without Qt"},
#endif
        OptionCase{"nlayer-run", "--csv", {"--rho", "10"}, "name its file with --csv"},
        OptionCase{"nlayer-run", "--rho", {"--csv", "t.csv", "--rho", "10,0"}, "> 0"},
        OptionCase{"nlayer-run", "--dt", {"--csv", "t.csv", "--dt", "0"}, "> 0"},
        OptionCase{"nlayer-run", "--samples", {"--csv", "t.csv", "--samples", "8"}, "a power of two from 16 to 65536"},
        OptionCase{"nlayer-run", "--fd", {"--csv", "t.csv", "--fd", "-1"}, "outside 0 ... 1e12 Hz"},
        OptionCase{"nlayer-run", "--engine", {"--csv", "t.csv", "--engine", "slow"}, "{exact,fast,mc}"},
        OptionCase{"nlayer-run", "--photons", {"--csv", "t.csv", "--photons", "1e6"}, "whole number of photons"},
        OptionCase{"nlayer-run", "--seed", {"--csv", "t.csv", "--engine", "mc", "--seed", "-1"}, "whole number"},
        OptionCase{"nlayer-run", "--width", {"--csv", "t.csv", "--width", "2"}, "add --engine mc"},
        OptionCase{"nlayer-run", "--moments", {"--moments", "--csv", "t.csv"}, "only --input, --rho and --threads"},
        OptionCase{"nlayer-fit", "--help", {}, ""}, OptionCase{"nlayer-fit", "--version", {}, ""},
        OptionCase{"nlayer-fit", "--measured", {"--irf", "irf.csv", "--model", "input.dat", "--free", "mua1"},
                   "name the measured curve"},
        OptionCase{"nlayer-fit", "--irf", {"--measured", "m.csv", "--model", "input.dat", "--free", "mua1"},
                   "name the instrument response"},
        OptionCase{"nlayer-fit", "--model", {"--measured", "m.csv", "--irf", "irf.csv", "--free", "mua1"},
                   "name the model file"},
        OptionCase{"nlayer-fit", "--free", Fit({"--free", "mua1,,musp1"}, false), "names separated by commas"},
        OptionCase{"nlayer-fit", "--rho", Fit({"--rho", "-3"}), "> 0"},
        OptionCase{"nlayer-fit", "--range", Fit({"--range", "0.1,1.5"}), "above 0 and up to 1"},
        OptionCase{"nlayer-fit", "--window-ps", Fit({"--window-ps", "900,100"}), "before the last"},
        OptionCase{"nlayer-fit", "--bounds", Fit({"--bounds", "mua1=0.001"}), "NAME=LOWER:UPPER"},
        // A name given twice kept its last value.
        OptionCase{"nlayer-fit", "--start", Fit({"--start", "mua1=0.01", "--start", "mua1=0.02"}), "names mua1 twice"},
        OptionCase{"nlayer-fit", "--profile", Fit({"--profile", "mua1", "--profile", "musp1,mua1"}), "names mua1 twice"},
        OptionCase{"nlayer-fit", "--background", Fit({"--background=often"}), "often"},
        OptionCase{"nlayer-fit", "--statistic", Fit({"--statistic", "l1"}), "{poisson,chi2}"},
        OptionCase{"nlayer-fit", "--engine", Fit({"--engine", "quick"}), "{exact,fast}"},
        OptionCase{"nlayer-fit", "--threads", Fit({"--threads", "0"}), "a whole number from 1 to 1024"},
        OptionCase{"nlayer-fit", "--csv", Fit({"--csv", "m.csv"}), "is the input"},
#if NLAYER_HAVE_PLOT
        OptionCase{"nlayer-fit", "--plot", Fit({"--plot", "fit.gif"}), ".png or .svg"}
#else
        OptionCase{"nlayer-fit", "--plot", Fit({"--plot", "fit.png"}), "built without Qt"}
#endif
        ),
    [](const ::testing::TestParamInfo<OptionCase>& info) {
      std::string name = std::string(info.param.program) + info.param.option;
      for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

// The fit's --version and a help or version that cannot be written (as nlayer-run's above).
TEST(NlayerFitTest, VersionPrintsTheProjectVersionAndAReportThatCannotBeWrittenFails) {
  const Outcome version = RunCommand(NLAYER_FIT_PATH, {"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "nlayer-fit " NLAYER_VERSION "\n");
  EXPECT_EQ(version.err, "");
  for (const char* option : {"--help", "--version"}) {
    const int status = std::system((std::string(NLAYER_FIT_PATH) + " " + option + " >/dev/full 2>/dev/null").c_str());
    ASSERT_TRUE(WIFEXITED(status)) << option;
    EXPECT_EQ(WEXITSTATUS(status), 1) << option;
  }
}

#ifdef NLAYER_WINDOW_PATH
// The window program answers --help and --version as the command lines do, before Qt starts: a
// platform plugin that does not exist makes Qt abort, so a window that opened would fail here
// rather than wait for a click.
TEST(NlayerWindowTest, HelpAndVersionPrintAndEndWithoutOpeningTheWindow) {
  const std::optional<std::string> platform =
      std::getenv("QT_QPA_PLATFORM") ? std::optional<std::string>(std::getenv("QT_QPA_PLATFORM")) : std::nullopt;
  setenv("QT_QPA_PLATFORM", "no-such-platform", 1);
  const Outcome help = RunCommand(NLAYER_WINDOW_PATH, {"--help"});
  const Outcome short_help = RunCommand(NLAYER_WINDOW_PATH, {"-h"});
  const Outcome version = RunCommand(NLAYER_WINDOW_PATH, {"--version"});
  // Among Qt's options, as a user might add one to the other.
  const Outcome version_late = RunCommand(NLAYER_WINDOW_PATH, {"-style", "Fusion", "--version"});
  if (platform) {
    setenv("QT_QPA_PLATFORM", platform->c_str(), 1);
  } else {
    unsetenv("QT_QPA_PLATFORM");
  }
  EXPECT_EQ(help.status, 0) << help.err;
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(help.out.rfind("Usage: nlayer ", 0), 0u) << help.out;
  for (const char* what : {"--help", "--version", "input.dat", "reflectance.dat"}) {
    EXPECT_NE(help.out.find(what), std::string::npos) << what;
  }
  EXPECT_EQ(short_help.status, 0);
  EXPECT_EQ(short_help.out, help.out);
  for (const Outcome* run : {&version, &version_late}) {
    EXPECT_EQ(run->status, 0) << run->err;
    EXPECT_EQ(run->out, "nlayer " NLAYER_VERSION "\n");
    EXPECT_EQ(run->err, "");
  }
  for (const char* option : {"--help", "--version"}) {
    const int status =
        std::system((std::string(NLAYER_WINDOW_PATH) + " " + option + " >/dev/full 2>/dev/null").c_str());
    ASSERT_TRUE(WIFEXITED(status)) << option;
    EXPECT_EQ(WEXITSTATUS(status), 1) << option;
  }
}
#endif

}  // namespace
}  // namespace nlayer::testing
