#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <string>

#include "core/fresnel.h"
#include "app/run.h"
#include "app/run_error.h"
#include "tests/test_support.h"

namespace nlayer {
namespace {

using testing::RelErr;
using testing::TempWorkDir;

constexpr long double kRounding = 4e-19L;  // a few units of the extended significand

// Runs the first half of a run in `session`; returns the error message, or "" on success. The
// files are closed afterwards, as a whole run would close them.
std::string MessageOfRead(RunSession& session, const RunOptions& options = {}) {
  std::string message;
  try {
    session.ReadModel(options);
  } catch (const RunError& e) {
    message = e.what();
  }
  session.CloseFiles();
  return message;
}

std::string ReadFrom(TempWorkDir& dir, RunSession& session, const std::string& input) {
  dir.Write("input.dat", input);
  return MessageOfRead(session);
}

const char* const kOneLayer = "1\n1 mus'\n0.01 mua\n1.4 n\n10 d\n20 rho\n";

TEST(ReadModel, OneLayerUsesItsLayerForBothBoundaries) {
  TempWorkDir dir;
  RunSession session;
  ASSERT_EQ(ReadFrom(dir, session, kOneLayer), "");
  EXPECT_EQ(session.State().LayerCount, 1);
  EXPECT_EQ(session.State().Model.Musp.size(), 1u);
  EXPECT_EQ(session.State().Model.ATop, session.State().Model.ABottom);
  EXPECT_EQ(session.State().Model.ZbTop, session.State().Model.ZbBottom);
  EXPECT_LT(RelErr(session.State().Model.DiffCoef[0], 1.0L / 3.0L), kRounding);
  EXPECT_LT(RelErr(session.State().Model.Z0, 1.0L / 1.01L), kRounding);
  EXPECT_EQ(session.State().Rho, 20.0L);
  EXPECT_EQ(session.State().Model.Thickness[0], 10.0L);
}

TEST(ReadModel, IndexOfExactly1Point4TakesTheStoredReflection) {
  TempWorkDir dir;
  RunSession session;
  for (const char* index : {"1.4", "1.40", "14e-1"}) {
    ASSERT_EQ(ReadFrom(dir, session, std::string("1\n1\n0.01\n") + index + "\n10\n20\n"), "");
    EXPECT_EQ(session.State().Model.Reff, 0.493477582093524L) << index;
    // A = (1 + Reff) / (1 - Reff), given to 16 digits.
    EXPECT_LT(RelErr(session.State().Model.ATop, 2.948492562809488L), 1e-15L) << index;
    EXPECT_LT(RelErr(session.State().Model.ZbTop, 2.0L * 2.948492562809488L / 3.0L), 1e-15L) << index;
  }
  ASSERT_EQ(ReadFrom(dir, session, "1\n1\n0.01\n1.41\n10\n20\n"), "");
  EXPECT_EQ(session.State().Model.Reff, EffectiveReflection(1.41L));
  EXPECT_GT(session.State().Model.Reff, 0.4934775820935L);
}

TEST(ReadModel, TopAndBottomBoundariesFollowTheirOwnLayers) {
  TempWorkDir dir;
  RunSession session;
  ASSERT_EQ(ReadFrom(dir, session, "2\n1 top\n0.01\n1\n5\n2 bottom\n0.03\n1.4\n15\n20\n"), "");
  EXPECT_EQ(session.State().LayerCount, 2);
  // An index of 1 reflects nothing: A = 1 and zb = 2 / (3 mus') to rounding.
  EXPECT_LT(RelErr(session.State().Model.ATop, 1.0L), 1e-18L);
  EXPECT_LT(RelErr(session.State().Model.ZbTop, 2.0L / 3.0L), 1e-18L);
  // The bottom layer (mus' = 2, index 1.4) and Reff left at the bottom value.
  EXPECT_EQ(session.State().Model.Reff, 0.493477582093524L);
  EXPECT_LT(RelErr(session.State().Model.ZbBottom, 2.0L * 2.948492562809488L / 6.0L), 1e-15L);
  EXPECT_LT(RelErr(session.State().Model.DiffCoef[1], 1.0L / 6.0L), kRounding);
  EXPECT_LT(RelErr(session.State().Model.Z0, 1.0L / 1.01L), kRounding);
}

TEST(ReadModel, MissingValuesReadAsZero) {
  TempWorkDir dir;
  RunSession session;
  ASSERT_EQ(ReadFrom(dir, session, "1\n1\n0.01\n1.4\n10\n"), "");  // ends after the last thickness
  EXPECT_EQ(session.State().Rho, 0.0L);
  // A hexadecimal count and blank lines between values.
  ASSERT_EQ(ReadFrom(dir, session, "$1\n\n\n1\n0.01\n\n1.4\n10\n7\n"), "");
  EXPECT_EQ(session.State().Rho, 7.0L);
}

TEST(ReadModel, TheTableOfFailures) {
  TempWorkDir dir;
  RunSession session;
  EXPECT_EQ(ReadFrom(dir, session, "0\n"), "Fehler bei Bereichsprüfung");
  EXPECT_EQ(ReadFrom(dir, session, "-1\n"), "Fehler bei Bereichsprüfung");
  EXPECT_EQ(ReadFrom(dir, session, "1.0\n"), "Ungültige numerische Eingabe");
  EXPECT_EQ(ReadFrom(dir, session, "1\n1;\n"), "Ungültige numerische Eingabe");
  EXPECT_EQ(ReadFrom(dir, session, "1\n0\n0.01\n1.4\n10\n20\n"), "Gleitkommadivision durch Null");
  EXPECT_EQ(ReadFrom(dir, session, "2\n1\n0.01\n1.4\n10\n0\n0.01\n1.4\n10\n20\n"),
            "Gleitkommadivision durch Null");
  EXPECT_EQ(ReadFrom(dir, session, "1\n1\n-1\n1.4\n10\n20\n"), "Gleitkommadivision durch Null");
  EXPECT_EQ(ReadFrom(dir, session, ""), "Fehler bei Bereichsprüfung");  // an empty file: count 0
}

TEST(ReadModel, AMissingInputStillEmptiesTheOutputAndUsesUpTheRun) {
  TempWorkDir dir;
  RunSession session;
  dir.Write("reflectance.dat", "old curve\r\n");
  session.SetRunIndex(3);
  EXPECT_EQ(MessageOfRead(session), "Datei nicht gefunden");
  EXPECT_EQ(session.State().RunIndex, 4);
  EXPECT_TRUE(std::filesystem::exists("reflectance.dat"));
  EXPECT_EQ(dir.Read("reflectance.dat"), "");
}

TEST(ReadModel, AHugeLayerCountEndsPromptlyWithoutAllocatingItsLayers) {
  TempWorkDir dir;
  RunSession session;
  EXPECT_EQ(ReadFrom(dir, session, "2147483647\n1\n0.01\n1.4\n10\n"), "Gleitkommadivision durch Null");
  EXPECT_EQ(session.State().LayerCount, 2147483647);
  EXPECT_LE(session.State().Model.Musp.size(), 3u);  // the layer read, at most two more of zeros
  EXPECT_EQ(ReadFrom(dir, session, "100000\n"), "Gleitkommadivision durch Null");
  EXPECT_LE(session.State().Model.Musp.size(), 2u);
}

TEST(ReadModel, FileSystemFaults) {
  TempWorkDir dir;
  RunSession session;
  const std::string kIsDirectory = "E/A-Fehler " + std::to_string(EISDIR);
  std::filesystem::create_directory("input.dat");
  EXPECT_EQ(MessageOfRead(session), kIsDirectory);
  std::filesystem::remove("input.dat");

  std::filesystem::create_symlink("nowhere.dat", "input.dat");
  EXPECT_EQ(MessageOfRead(session), "Datei nicht gefunden");
  std::filesystem::remove("input.dat");

  dir.Write("input.dat", kOneLayer);
  std::filesystem::remove("reflectance.dat");
  std::filesystem::create_directory("reflectance.dat");
  EXPECT_EQ(MessageOfRead(session), kIsDirectory);
  std::filesystem::remove("reflectance.dat");

  if (geteuid() != 0) {  // root reads and writes whatever the permissions say
    std::filesystem::permissions("input.dat", std::filesystem::perms::none);
    EXPECT_EQ(MessageOfRead(session), "Dateizugriff verweigert");
  }
}

// Reading refuses what no text model file is, at once, and never truncates the model.
TEST(ReadModel, NulBytesAndAnOutputThatIsTheModelAreRefused) {
  TempWorkDir dir;
  RunSession session;
  EXPECT_EQ(ReadFrom(dir, session, std::string("1\n1\0.4\n", 7)), kInvalidNumericInput);
  // "1\n" in UTF-16 without a byte-order mark.
  EXPECT_EQ(ReadFrom(dir, session, std::string("1\0\n\0", 4)), kInvalidNumericInput);
  session.SetRunIndex(-1);
  RunOptions options;
  options.input_path = "/dev/zero";
  EXPECT_EQ(MessageOfRead(session, options), kInvalidNumericInput);

  const std::string model = "1\n1\n0.01\n1.4\n10\n20\n";
  dir.Write("m.dat", model);
  std::filesystem::create_symlink("m.dat", dir.path() / "symlink.dat");
  std::filesystem::create_hard_link(dir.path() / "m.dat", dir.path() / "hardlink.dat");
  for (const char* output : {"m.dat", "symlink.dat", "hardlink.dat", "./m.dat"}) {
    options.input_path = "m.dat";
    options.output_path = output;
    EXPECT_EQ(MessageOfRead(session, options), kOutputIsInput) << output;
    EXPECT_EQ(dir.Read("m.dat"), model) << output;
  }
}

}  // namespace
}  // namespace nlayer
