// Problem files: what a file says must arrive in the FitProblem under the names the fit uses,
// and every mistake must be refused with the file and line that hold it.
#include "io/problem_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "tests/test_support.h"

namespace nlayer {
namespace {

using testing::TempWorkDir;

const FitParameter* Find(const FitProblem& problem, const std::string& name) {
  const auto at = std::find_if(problem.free.begin(), problem.free.end(),
                               [&](const FitParameter& p) { return p.name == name; });
  return at == problem.free.end() ? nullptr : &*at;
}

// Two curve files and an IRF on four bins, and a water spectrum of the user's.
void WriteData(const TempWorkDir& dir) {
  dir.Write("a.csv", "t_ps,counts\n0,1\n10,5\n20,3\n30,1\n");
  dir.Write("b.csv", "0 2\n10 6\n20 4\n30 2\n");
  dir.Write("irf.csv", "0,0\n10,9\n20,1\n30,0\n");
  dir.Write("water.txt", "# nm  mua of water (1/mm)\n700 0.0006\n800 0.002\n900 0.007\n");
}

TEST(ProblemFile, SpectralModelCurvesAndTiesArriveUnderTheFitsNames) {
  TempWorkDir dir;
  WriteData(dir);
  const std::string text = R"([fit]
starts = 3
profile = ["HbO2"]

[spectral]
reference_nm = 800
chromophores = ["HbO", "HbR"]
[[spectral.chromophore]]
name = "water"
file = "water.txt"
unit = "absorption"

[[layer]]
n = 1.4
d = { start = 10.0, lower = 5, upper = 15 }
HbO = { start = 30.0 }
HbR = 12
water = 0.2
a = { start = 1.2 }
b = 1.0

[[layer]]
n = 1.33
d = 50
HbO = { start = 40.0, lower = 0, upper = 300 }
HbR = { start = 20.0 }
water = 0.8
a = { tie = "a1" }
b = 1.0

[[curve]]
file = "a.csv"
irf = "irf.csv"
rho = 10
wavelength = 760
shift_ps = 12.5
background = "fitted"

[[curve]]
file = "b.csv"
irf = "irf.csv"
rho = 30
wavelength = 850
label = "far"
range = { from_ps = 10, to_ps = 30 }
)";
  const ProblemFile file = ParseProblem(text, "head.toml", dir.path());
  const FitProblem& problem = file.problem;
  ASSERT_EQ(problem.curves.size(), 2u);
  EXPECT_EQ(problem.curves[0].label, "a.csv");
  EXPECT_EQ(problem.curves[1].label, "far");
  EXPECT_EQ(problem.curves[1].counts, (std::vector<double>{2, 6, 4, 2}));
  EXPECT_EQ(problem.curves[0].irf, (std::vector<double>{0, 9, 1, 0}));
  EXPECT_EQ(problem.curves[0].rho_mm, 10.0L);
  EXPECT_EQ(*problem.curves[1].wavelength_nm, 850.0);
  EXPECT_EQ(*problem.curves[0].shift_ps, 12.5);
  EXPECT_FALSE(problem.curves[1].shift_ps);
  EXPECT_EQ(problem.curves[0].background, BackgroundMode::kFitted);
  EXPECT_EQ(*problem.curves[1].range.t_first_ps, 10.0);
  EXPECT_EQ(file.options.starts, 3);
  EXPECT_EQ(file.options.profile, std::vector<std::string>{"HbO2"});

  ASSERT_TRUE(problem.spectral);
  const SpectralModel& model = *problem.spectral;
  ASSERT_EQ(model.chromophores.size(), 3u);
  EXPECT_EQ(model.chromophores[2].name, "water");
  EXPECT_EQ(model.chromophores[2].unit, ChromophoreUnit::kAbsorption);
  EXPECT_EQ(model.chromophores[2].values, (std::vector<double>{0.0006, 0.002, 0.007}));
  ASSERT_EQ(model.layers.size(), 2u);
  EXPECT_EQ(model.layers[1].concentrations, (std::vector<double>{40, 20, 0.8}));
  EXPECT_EQ(model.layers[0].a, 1.2);
  EXPECT_EQ(problem.medium.layers[1].n, static_cast<long double>(1.33));  // TOML numbers are doubles
  EXPECT_EQ(problem.medium.layers[0].d, 10.0L);

  // Free: d1, HbO1, a1, HbO2, HbR2; tied: a2 to a1, with no start or bounds of its own (the fit
  // takes a1's and refuses others); fixed: the rest.
  std::vector<std::string> names;
  for (const FitParameter& p : problem.free) names.push_back(p.name);
  EXPECT_EQ(names, (std::vector<std::string>{"d1", "HbO1", "a1", "HbO2", "HbR2", "a2"}));
  EXPECT_EQ(*Find(problem, "d1")->lower, 5.0);
  EXPECT_EQ(*Find(problem, "HbO2")->upper, 300.0);
  EXPECT_FALSE(Find(problem, "HbO1")->lower);
  EXPECT_EQ(Find(problem, "a2")->tied_to, "a1");
  EXPECT_FALSE(Find(problem, "a2")->start || Find(problem, "a2")->lower || Find(problem, "a2")->upper);
}

TEST(ProblemFile, MediaPerWavelengthNameTheirParametersByWavelength) {
  TempWorkDir dir;
  WriteData(dir);
  const std::string text = R"(
[[layer]]
n = 1.4
d = 8
mua = { 760 = 0.012, 850 = { start = 0.015, upper = 0.1 } }
musp = 1.1
[[layer]]
n = 1.4
d = 50
mua = { start = 0.02 }
musp = { 760 = { start = 1.0 }, 850 = { tie = "musp2@760" } }
[[curve]]
file = "a.csv"
irf = "irf.csv"
rho = 10
wavelength = 760
[[curve]]
file = "b.csv"
irf = "irf.csv"
rho = 30
wavelength = 850
)";
  const FitProblem problem = ParseProblem(text, "p.toml", dir.path()).problem;
  ASSERT_EQ(problem.media.size(), 2u);
  EXPECT_EQ(problem.media[0].wavelength_nm, 760.0);
  EXPECT_EQ(problem.media[0].medium.layers[0].mua, static_cast<long double>(0.012));
  EXPECT_EQ(problem.media[1].medium.layers[0].mua, static_cast<long double>(0.015));
  EXPECT_EQ(problem.media[1].medium.layers[0].musp, static_cast<long double>(1.1));
  EXPECT_EQ(problem.media[1].medium.layers[0].d, 8.0L);
  EXPECT_EQ(problem.media[1].medium.layers[1].musp, 1.0L);  // tied to musp2@760: its start
  std::vector<std::string> names;
  for (const FitParameter& p : problem.free) names.push_back(p.name + (p.tied_to.empty() ? "" : "=" + p.tied_to));
  EXPECT_EQ(names, (std::vector<std::string>{"mua1@850", "mua2@760", "mua2@850", "musp2@760", "musp2@850=musp2@760"}));
}

// The bottom layer of a stack may be without end; no other layer may, nor a bottom of -inf or nan.
TEST(ProblemFile, ABottomLayerWithoutEndIsDInf) {
  TempWorkDir dir;
  WriteData(dir);
  const std::string top = "[[layer]]\nn = 1.4\nmua = 0.01\nmusp = 1.0\n";
  const std::string bottom = "[[layer]]\nn = 1.4\nmua = { start = 0.02 }\nmusp = 1.2\n";
  const std::string curve = "[[curve]]\nfile = \"a.csv\"\nirf = \"irf.csv\"\nrho = 10\n";
  const FitProblem problem = ParseProblem(top + "d = 8\n" + bottom + "d = inf\n" + curve, "p.toml", dir.path()).problem;
  EXPECT_EQ(problem.medium.layers[1].d, std::numeric_limits<long double>::infinity());
  EXPECT_FALSE(problem.medium.Validate());
  for (const auto& [text, message] :
       {std::pair{top + "d = inf\n" + bottom + "d = 50\n" + curve, "p.toml:5: layer 1: d is inf; it must be a finite number"},
        std::pair{top + "d = 8\n" + bottom + "d = -inf\n" + curve, "p.toml:10: layer 2: d is -inf; it must be a finite number"},
        std::pair{top + "d = 8\n" + bottom + "d = nan\n" + curve, "p.toml:10: layer 2: d is nan; it must be a finite number"}}) {
    try {
      ParseProblem(text, "p.toml", dir.path());
      ADD_FAILURE() << "accepted:\n" << text;
    } catch (const InputFileError& e) {
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what() << "\nexpected: " << message;
    }
  }
}

// Each mistake with the line that holds it.
TEST(ProblemFile, RefusesMistakesNamingFileAndLine) {
  TempWorkDir dir;
  WriteData(dir);
  const std::string curve = "[[curve]]\nfile = \"a.csv\"\nirf = \"irf.csv\"\nrho = 10\n";
  const std::string layer = "[[layer]]\nn = 1.4\nmua = 0.01\nmusp = 1.0\n";
  struct Case {
    std::string text, message;
  };
  const Case cases[] = {
      {layer + "muas = 2\n" + curve, "p.toml:5: layer 1: unknown key \"muas\""},
      {"[[layer]]\nn = 1.4\nmua = { lower = 0 }\nmusp = 1.0\n" + curve,
       "p.toml:3: layer 1: mua is free (a table) but has no start value"},
      {"[[layer]]\nn = 1.4\nmua = { start = 0.5, upper = 0.1 }\nmusp = 1.0\n" + curve,
       "p.toml:3: layer 1: mua's start 0.5 lies outside its bounds"},
      {"[[layer]]\nn = 1.4\nmua = 0.01\nmusp = { tie = \"mua1\" }\n" + curve,
       "p.toml:4: musp1 is tied to mua1, which is not free"},
      {"[fit]\nprofile = [\"mua1\"]\n" + layer + curve, "p.toml:2: profile names \"mua1\", which is not a free"},
      {"[fit]\nstarts = 2\nprofile = [\n  \"zz\"]\n" + layer + curve, "p.toml:4: profile names \"zz\""},
      {layer + curve + "range = { rise = 0.2, to_ps = 30 }\n", "p.toml:9: curve 1: range gives both"},
      {"[spectral]\nchromophores = [\"HbO\"]\n[[spectral.chromophore]]\nname = \"water\"\nfile = \"water.txt\"\n"
       "unit = \"absorption\"\n[[layer]]\nn = 1.4\nHbO = 30\nwater = 7\na = 1\nb = 1\n" + curve + "wavelength = 800\n",
       "p.toml:10: layer 1: water is a volume fraction"},
      {"[spectral]\nchromophores = [\"HbO\"]\n[[spectral.chromophore]]\nname = \"water\"\nfile = \"water.txt\"\n"
       "unit = \"absorption\"\n[[layer]]\nn = 1.4\nHbO = 30\nwater = { start = 0.5, upper = 2 }\na = 1\nb = 1\n" +
           curve + "wavelength = 800\n",
       "not 2"},
      // A header of 35,000 parts overflowed the parser's stack; so would nested arrays. Dots in
      // strings and comments, and in numbers, are no nesting.
      {layer + curve + "\n[" + [] {
         std::string parts = "t";
         for (int i = 0; i < 35000; ++i) parts += ".t";
         return parts;
       }() + "]\n", "p.toml:10: keys and values nest more than 64"},
      {layer + curve + "x = " + std::string(100, '[') + std::string(100, ']') + "\n", "p.toml:9: keys and values nest"},
      {layer + curve + "x.y = { z = { w = [[1.5, 2.5]] } }\n", "unknown key \"x\""},
      {layer + "# " + std::string(200, '.') + "\n" + curve + "label = \"" + std::string(200, '.') + "[{\"\nq = 1\n",
       "p.toml:11: curve 1: unknown key \"q\""},
      {layer + "[[curve]]\nfile = \"missing.csv\"\nirf = \"irf.csv\"\nrho = 10\n",
       "missing.csv: No such file or directory (named at p.toml:6)"},
      {layer + curve + "rho = 3\n", "p.toml:9"},
      {"[spectral]\nchromophores = [\"HbX\"]\n" + layer + curve, "p.toml:2: no chromophore \"HbX\" is shipped"},
      {layer, "p.toml: the problem has no [[curve]]"},
      // What the file gives is named, not the mua or musp derived from it, with its line.
      {"[[layer]]\nn = 1.4\nmua = -0.01\nmusp = 1.0\n" + curve, "p.toml:3: layer 1: mua is -0.01; it must be >= 0"},
      {"[[layer]]\nn = 1.4\nmua = { start = 0 }\nmusp = { tie = \"mua1\" }\n" + curve,
       "p.toml:4: layer 1: musp is \"mua1\" (tied; its start is 0); it must be > 0"},
      {"[spectral]\nchromophores = [\"HbO\", \"HbR\"]\n[[layer]]\nn = 1.4\nHbO = 30\nHbR = 15\na = 1\nb = 1e308\n" +
           curve + "wavelength = 760\n",
       "p.toml:8: layer 1: a = 1 and b = 1e+308 give musp"},
      {"[spectral]\nchromophores = [\"HbO\", \"HbR\"]\n[[layer]]\nn = 1.4\nHbO = 5\nHbR = -30\na = 1\nb = 1\n" +
           curve + "wavelength = 760\n",
       "p.toml:6: layer 1: HbO = 5, HbR = -30 give mua = -"},
      {"[spectral]\nchromophores = [\"HbO\", \"HbR\"]\n[[layer]]\nn = 1.4\nHbO = { start = 30 }\nHbR = 15\na = { tie = "
       "\"HbO1\" }\nb = 1\n" + curve + "wavelength = 1850\n",
       "p.toml:13: curve 1: wavelength 1850 nm: the spectrum of HbO covers"},
  };
  for (const Case& c : cases) {
    try {
      ParseProblem(c.text, "p.toml", dir.path());
      ADD_FAILURE() << "accepted:\n" << c.text;
    } catch (const InputFileError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what() << "\nexpected: " << c.message;
    }
  }
}

// The model alone: the same model as the full reader gives with the curves, and the same
// refusals of misspelt keys, without a curve file opened.
TEST(ProblemFile, AModelWithoutItsCurvesIsTheModelOfTheWholeFile) {
  TempWorkDir dir;
  WriteData(dir);
  const std::string model = R"([fit]
statistic = "chi2"
starts = 2
profile = ["HbO1"]
[spectral]
reference_nm = 750
chromophores = ["HbO", "HbR"]
[[spectral.chromophore]]
name = "water"
file = "water.txt"
unit = "absorption"
[[layer]]
n = 1.4
d = { start = 10.0, lower = 5 }
HbO = { start = 30.0 }
HbR = 12
water = 0.2
a = { start = 1.2 }
b = 1.0
[[layer]]
n = 1.33
d = inf
HbO = 40
HbR = { start = 20.0, upper = 90 }
water = 0.8
a = { tie = "a1" }
b = 0.5
)";
  const std::string curves = "[[curve]]\nfile = \"a.csv\"\nirf = \"irf.csv\"\nrho = 10\nwavelength = 760\n"
                             "[[curve]]\nfile = \"b.csv\"\nirf = \"irf.csv\"\nrho = 30\nwavelength = 850\n";
  const ProblemFile whole_file = ParseProblem(model + curves, "p.toml", dir.path());
  const FitProblem& whole = whole_file.problem;
  dir.Write("p.toml", model + "[[curve]]\nfile = \"missing.csv\"\n");
  const ProblemFile alone_file = ReadProblemModel(dir.path() / "p.toml");
  const FitProblem& alone = alone_file.problem;
  ASSERT_EQ(whole.curves.size(), 2u);
  EXPECT_TRUE(alone.curves.empty());
  ASSERT_TRUE(whole.spectral && alone.spectral);
  ASSERT_EQ(alone.medium.layers.size(), 2u);
  for (double nm : {760.0, 850.0}) {
    const Medium w = whole.spectral->MediumAt(whole.medium, nm), a = alone.spectral->MediumAt(alone.medium, nm);
    for (std::size_t k = 0; k < 2; ++k) {
      EXPECT_EQ(a.layers[k].n, w.layers[k].n);
      EXPECT_EQ(a.layers[k].d, w.layers[k].d);
      EXPECT_EQ(a.layers[k].mua, w.layers[k].mua);
      EXPECT_EQ(a.layers[k].musp, w.layers[k].musp);
    }
  }
  // mus' at the reference wavelength is a, whatever b.
  EXPECT_DOUBLE_EQ(alone.spectral->MediumAt(alone.medium, 750).layers[1].musp, 1.2);
  ASSERT_EQ(alone.free.size(), whole.free.size());
  for (std::size_t i = 0; i < whole.free.size(); ++i) {
    EXPECT_EQ(alone.free[i].name, whole.free[i].name);
    EXPECT_EQ(alone.free[i].start, whole.free[i].start);
    EXPECT_EQ(alone.free[i].lower, whole.free[i].lower);
    EXPECT_EQ(alone.free[i].upper, whole.free[i].upper);
    EXPECT_EQ(alone.free[i].tied_to, whole.free[i].tied_to);
  }
  EXPECT_EQ(alone_file.options.statistic, FitStatistic::kLeastSquares);
  EXPECT_EQ(alone_file.options.starts, 2);
  EXPECT_EQ(alone_file.options.profile, whole_file.options.profile);

  // One value per layer without a spectral model is a model too.
  const FitProblem plain = ParseProblemModel("[[layer]]\nn = 1.4\nmua = 0.01\nmusp = { start = 1.0 }\n", "p.toml",
                                             dir.path()).problem;
  ASSERT_EQ(plain.medium.layers.size(), 1u);
  EXPECT_EQ(plain.medium.layers[0].musp, 1.0L);
  ASSERT_EQ(plain.free.size(), 1u);
  EXPECT_EQ(plain.free[0].name, "musp1");
}

TEST(ProblemFile, AModelWithoutItsCurvesRefusesMistakesNamingFileAndLine) {
  TempWorkDir dir;
  WriteData(dir);
  const std::string spectral = "[spectral]\nchromophores = [\"HbO\", \"HbR\"]\n";
  const std::string layer = "[[layer]]\nn = 1.4\nHbO = 30\nHbR = 15\na = 1\nb = 1\n";
  struct Case {
    std::string text, message;
  };
  const Case cases[] = {
      {"[spectral]\nreferense_nm = 800\nchromophores = [\"HbO\"]\n[[layer]]\nn = 1.4\nHbO = 30\na = 1\nb = 1\n",
       "p.toml:2: [spectral]: unknown key \"referense_nm\""},
      {"[fit]\nstatistik = \"chi2\"\n" + spectral + layer, "p.toml:2: [fit]: unknown key \"statistik\""},
      {spectral + layer + "musp = 1.0\n", "p.toml:9: layer 1: unknown key \"musp\""},
      {spectral + layer + "d = 5\n[[layer]]\nn = 1.4\nHbO = 30\nHbR = { tie = \"HbR9\" }\na = 1\nb = 1\nd = inf\n",
       "p.toml:13: HbR2 is tied to \"HbR9\", which is no parameter"},
      {"[[layer]]\nn = 1.4\nmua = { 760 = 0.01, 850 = 0.02 }\nmusp = 1.0\n",
       "p.toml:3: layer 1: mua is given per wavelength"},
      {"[[layer]]\nn = 1.4\nmua = -0.01\nmusp = 1.0\n", "p.toml:3: layer 1: mua is -0.01; it must be >= 0"},
      {"[fit]\nprofile = [\"mua1\"]\n[[layer]]\nn = 1.4\nmua = 0.01\nmusp = 1.0\n",
       "p.toml:2: profile names \"mua1\", which is not a free"},
  };
  for (const Case& c : cases) {
    try {
      ParseProblemModel(c.text, "p.toml", dir.path());
      ADD_FAILURE() << "accepted:\n" << c.text;
    } catch (const InputFileError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what() << "\nexpected: " << c.message;
    }
  }
}

}  // namespace
}  // namespace nlayer
