#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/fp_guard.h"
#include "core/hankel.h"
#include "app/run.h"
#include "app/run_error.h"
#include "io/output_format.h"
#include "tests/reflectance_file.h"
#include "tests/test_support.h"

namespace nlayer {
namespace {

using testing::RelErr;
using testing::TempWorkDir;

const char* const kOneLayer = "1\n1\n0.01\n1.4\n10\n20\n";
const char* const kTwoLayers = "2\n1\n0.01\n1.4\n5\n2\n0.03\n1.4\n15\n20\n";

std::string RunIn(TempWorkDir& dir, RunSession& session, const std::string& input, ChartSink& chart,
                  RunOptions options = {}) {
  dir.Write("input.dat", input);
  try {
    session.Run(chart, options);
  } catch (const RunError& e) {
    return e.what();
  }
  return "";
}

using Line = testing::ReflectanceSample;

std::vector<Line> ParseLines(const std::string& text) {
  testing::ReflectanceFile file = testing::ReadReflectanceFile(text);
  EXPECT_EQ(file.error, "");
  return std::move(file.samples);
}

TEST(FormatNumber, TheWorkedExamplesAndTheLayout) {
  EXPECT_EQ(FormatNumber(10.0L), " 1.00000000000000E+0001");
  EXPECT_EQ(FormatNumber(-2.5e-7L), "-2.50000000000000E-0007");
  EXPECT_EQ(FormatNumber(0.0L), " 0.00000000000000E+0000");
  EXPECT_EQ(FormatNumber(5120.0L), " 5.12000000000000E+0003");
  // Rounded, not cut, to 15 significant digits.
  EXPECT_EQ(FormatNumber(1.234567890123456789L), " 1.23456789012346E+0000");
  EXPECT_EQ(FormatNumber(9.999999999999999L), " 1.00000000000000E+0001");
  // Extended exponents need all four digits.
  EXPECT_EQ(FormatNumber(1e-4000L), " 1.00000000000000E-4000");
  EXPECT_EQ(FormatNumber(-1.5e4000L), "-1.50000000000000E+4000");
  EXPECT_EQ(FormatLine(10.0L, -2.5e-7L),
            " 1.00000000000000E+0001   -2.50000000000000E-0007\r\n");
}

TEST(FormatNumber, NoLocaleReachesTheFile) {
  if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr) GTEST_SKIP() << "de_DE.UTF-8 is not installed";
  std::locale::global(std::locale("de_DE.UTF-8"));
  const std::string german = FormatLine(430.0L, 1.18084642230563e-8L);
  std::locale::global(std::locale::classic());
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(german, FormatLine(430.0L, 1.18084642230563e-8L));
  EXPECT_EQ(german.find(','), std::string::npos);
}

TEST(Run, OneLayerCurveCarriesTheReferenceValues) {
  TempWorkDir dir;
  RunSession session;  // its first run draws into series 0
  MemoryChart chart;
  ASSERT_EQ(RunIn(dir, session, kOneLayer, chart), "");
  const auto lines = ParseLines(dir.Read("reflectance.dat"));
  ASSERT_GE(lines.size(), 1u);
  ASSERT_LE(lines.size(), 512u);
  constexpr long double kSevenDigits = 5e-7L;  // the reference values are given to 7 digits
  const Line* peak = &lines[0];
  for (const Line& line : lines) {
    if (std::fabs(line.value) > std::fabs(peak->value)) peak = &line;
    if (line.time_ps == 530) {
      EXPECT_LT(RelErr(line.value, 1.077272e-08L), kSevenDigits);
    }
    if (line.time_ps == 1030) {
      EXPECT_LT(RelErr(line.value, 2.697603e-09L), kSevenDigits);
    }
  }
  EXPECT_EQ(peak->time_ps, 430);
  EXPECT_LT(RelErr(peak->value, 1.180846e-08L), kSevenDigits);

  // The chart got the same curve: one point per line, log10 of the magnitude.
  const auto& points = chart.Series(0);
  ASSERT_EQ(points.size(), lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(points[i].first, lines[i].time_ps);
    EXPECT_NEAR(points[i].second, std::log10(std::fabs(static_cast<double>(lines[i].value))), 1e-13);
  }
  EXPECT_TRUE(chart.Series(1).empty());
}

TEST(Run, TheGoldenCurveIsReproducedByteForByte) {
  // tests/data/one_layer_reflectance.dat holds a run of the one-layer model whose 430, 530 and
  // 1030 ps lines carry the published reference values; any change of the arithmetic shows.
  std::ifstream golden_file(std::string(NLAYER_TEST_DATA) + "/one_layer_reflectance.dat", std::ios::binary);
  std::stringstream golden;
  golden << golden_file.rdbuf();
  ASSERT_FALSE(golden.str().empty());
  TempWorkDir dir;
  RunSession session;  // its first run draws into series 0
  MemoryChart chart;
  ASSERT_EQ(RunIn(dir, session, kOneLayer, chart), "");
  EXPECT_EQ(dir.Read("reflectance.dat"), golden.str());
}

TEST(Run, TheFileIsTheSameUnderACommaLocaleAndForAnyThreadCount) {
  TempWorkDir dir;
  RunSession session;  // its first run draws into series 0
  MemoryChart chart;
  ASSERT_EQ(RunIn(dir, session, kTwoLayers, chart, {.threads = 1}), "");
  const std::string reference = dir.Read("reflectance.dat");
  for (unsigned threads : {2u, 5u}) {
    session.SetRunIndex(-1);
    ASSERT_EQ(RunIn(dir, session, kTwoLayers, chart, {.threads = threads}), "");
    EXPECT_EQ(dir.Read("reflectance.dat"), reference) << threads << " threads";
  }
  if (std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr) {
    std::locale::global(std::locale("de_DE.UTF-8"));
    session.SetRunIndex(-1);
    const std::string message = RunIn(dir, session, kTwoLayers, chart);
    std::locale::global(std::locale::classic());
    std::setlocale(LC_ALL, "C");
    ASSERT_EQ(message, "");
    EXPECT_EQ(dir.Read("reflectance.dat"), reference) << "under de_DE.UTF-8";
  }
}

TEST(Run, TheLoopLeavesTheLastFrequencyBehind) {
  TempWorkDir dir;
  RunSession session;  // its first run draws into series 0
  MemoryChart chart;
  ASSERT_EQ(RunIn(dir, session, kTwoLayers, chart), "");
  const ModelState& s = session.State();
  EXPECT_EQ(s.FreqIndex, 512);
  const long double two_pi = 6.283185307179586477L;
  EXPECT_LT(RelErr(s.Omega, two_pi * 5e10L), 1e-18L);
  for (int j = 0; j < 2; ++j) {
    const long double expected = s.Omega * s.Model.RefrIndex[j] / (2.99792458e11L * s.Model.DiffCoef[j]);
    EXPECT_LT(RelErr(s.OmegaTerm[j], expected), 1e-18L);
  }
  // ReflRe/ReflIm are those of k = 512, as RadialReflectance computes them for that frequency.
  FrequencyContext context;
  context.Resize(2);
  context.OmegaTerm = s.OmegaTerm;
  RadialReflectance(s.Model, s.Rho, context);
  EXPECT_EQ(s.ReflRe, context.ReflRe);
  EXPECT_EQ(s.ReflIm, context.ReflIm);
  EXPECT_GT(s.PeakAbs, 0.0L);
  EXPECT_FALSE(s.OutputFile.IsOpen());
}

TEST(Run, TheNinthRunComputesEverythingAndThenFailsWithAnEmptyFile) {
  TempWorkDir dir;
  RunSession session;
  MemoryChart chart;
  session.SetRunIndex(7);  // eight runs done
  EXPECT_EQ(RunIn(dir, session, kOneLayer, chart), "Listenindex überschreitet das Maximum (8)");
  EXPECT_EQ(session.State().RunIndex, 8);
  EXPECT_EQ(session.State().FreqIndex, 512);
  EXPECT_EQ(dir.Read("reflectance.dat"), "");
  EXPECT_FALSE(session.State().OutputFile.IsOpen());
  EXPECT_FALSE(session.State().InputFile.IsOpen());
  // Every later run fails the same way, with its own number.
  EXPECT_EQ(RunIn(dir, session, kOneLayer, chart), "Listenindex überschreitet das Maximum (9)");
  for (int series = 0; series < ChartSink::kSeriesCount; ++series) EXPECT_TRUE(chart.Series(series).empty());
}

TEST(Run, AWriteErrorEndsTheRunAndTheChartKeepsWhatItGot) {
  TempWorkDir dir;
  RunSession session;  // its first run draws into series 0
  MemoryChart chart;
  // Every write to /dev/full fails with "no space left"; buffering lets it surface late.
  EXPECT_EQ(RunIn(dir, session, kOneLayer, chart, {.output_path = "/dev/full"}), "E/A-Fehler " + std::to_string(ENOSPC));
  EXPECT_FALSE(session.State().OutputFile.IsOpen());
  EXPECT_FALSE(chart.Series(0).empty());
}

// Each run ends with the fault that the model's steps meet first.
TEST(Run, TheFirstFaultInTheOrderOfTheStepsNamesTheMessage) {
  TempWorkDir dir;
  RunSession session;
  struct Case {
    const char* input;
    const char* message;
  };
  const Case cases[] = {
      // An index of 1e-4000 makes every sample 0: the ratio test is 0/0, not log10(0).
      {"1\n1\n0.01\n1e-4000\n10\n20\n", "Ungültige Gleitkommaoperation"},
      // s^2 underflows under the decay constant's root (invalid) before the hyperbolic
      // functions overflow, all within frequency 0.
      {"2\n1e-4000\n0.09102\n1.167\n1.375\n3000\n0.002096\n1.881\n33.3\n41.23\n",
       "Ungültige Gleitkommaoperation"},
      // A negative mua below the top layer reaches the square root on the negative real axis at
      // frequency 0, whose formulas give 0 + 0i; the layer recursion then divides 0 by 0.
      {"2\n1\n0.01\n1.4\n5\n1\n-0.01\n1.4\n15\n20\n", "Ungültige Gleitkommaoperation"},
      // Overflow that does come first stays an overflow.
      {"2\n1\n0.01\n1.4\n5\n1\n0.01\n1.4\n400\n20\n", "Gleitkommaüberlauf"},
  };
  for (const Case& c : cases) {
    MemoryChart chart;
    session.SetRunIndex(-1);
    EXPECT_EQ(RunIn(dir, session, c.input, chart), c.message) << c.input;
    EXPECT_EQ(dir.Read("reflectance.dat"), "") << c.input;
  }
}

// With a bottom layer near the overflow edge, low frequencies pass and high ones overflow; the
// run must report the fault of the lowest frequency, for any number of threads.
TEST(Run, AFaultIsReportedAtTheLowestFaultingFrequency) {
  TempWorkDir dir;
  RunSession session;
  auto input = [](long double thickness) {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text.precision(20);
    text << "2\n1\n0.01\n1.4\n5\n1\n0.01\n1.4\n" << static_cast<double>(thickness) << "\n20\n";
    return text.str();
  };
  auto faults_at = [&](long double thickness, int k) {
    dir.Write("input.dat", input(thickness));
    session.ReadModel();
    session.CloseFiles();
    FrequencyContext context;
    context.Resize(2);
    const long double omega = ((k * 6.283185307179586477L) * 1e8L) / 1.024L;
    const DerivedModel& model = session.State().Model;
    for (int j = 0; j < 2; ++j) context.OmegaTerm[j] = omega / ((model.DiffCoef[j] * 2.99792458e11L) / model.RefrIndex[j]);
    return RunChecked([&] { RadialReflectance(model, session.Rho(), context); }) != FaultKind::kNone;
  };
  session.SetRunIndex(-100);
  long double passes = 100, fails = 400;  // thicknesses that pass and fault at k = 0
  ASSERT_FALSE(faults_at(passes, 0));
  ASSERT_TRUE(faults_at(fails, 0));
  for (int step = 0; step < 40; ++step) {
    const long double mid = (passes + fails) / 2;
    (faults_at(mid, 0) ? fails : passes) = mid;
  }
  // Just below the edge at k = 0; find the first frequency that faults there.
  const long double thickness = passes;
  int first = -1;
  for (int k = 0; k <= 512 && first < 0; ++k) {
    if (faults_at(thickness, k)) first = k;
  }
  ASSERT_GT(first, 0) << "the edge must move with the frequency for this test to mean anything";
  for (unsigned threads : {1u, 2u, 3u}) {
    MemoryChart chart;
    session.SetRunIndex(-1);
    const std::string message = RunIn(dir, session, input(thickness), chart, {.threads = threads});
    EXPECT_FALSE(message.empty());
    EXPECT_EQ(session.State().FreqIndex, first) << threads << " threads";
    EXPECT_EQ(dir.Read("reflectance.dat"), "");
  }
}

}  // namespace
}  // namespace nlayer
