#include "core/fp_guard.h"
#include "app/run_error.h"

#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <limits>

#include "app/run_error.h"

namespace nlayer {
namespace {

// Values the optimiser cannot fold, so the faulting operations really execute.
volatile long double g_zero = 0.0L;
volatile long double g_one = 1.0L;
volatile long double g_huge = std::numeric_limits<long double>::max();
volatile long double g_tiny = std::numeric_limits<long double>::denorm_min();

TEST(FpGuard, EachFaultBecomesItsRuntimeMessage) {
  long double out = 0;
  EXPECT_EQ(RunChecked([&] { out = g_one / g_zero; }), FaultKind::kDivisionByZero);
  EXPECT_EQ(RunChecked([&] { out = g_huge * 2.0L; }), FaultKind::kOverflow);
  EXPECT_EQ(RunChecked([&] { out = g_zero / g_zero; }), FaultKind::kInvalidOperation);
  EXPECT_EQ(RunChecked([&] { out = std::sqrt(-g_one); }), FaultKind::kInvalidOperation);
  EXPECT_EQ(RunChecked([&] { out = std::exp(12000.0L * g_one); }), FaultKind::kOverflow);
  EXPECT_STREQ(FaultMessage(FaultKind::kDivisionByZero), "Gleitkommadivision durch Null");
  EXPECT_STREQ(FaultMessage(FaultKind::kOverflow), "Gleitkommaüberlauf");
  EXPECT_STREQ(FaultMessage(FaultKind::kInvalidOperation), "Ungültige Gleitkommaoperation");
}

TEST(FpGuard, UnderflowDenormalsAndInexactPassSilently) {
  long double out = 0;
  EXPECT_EQ(RunChecked([&] { out = g_tiny / 3.0L; }), FaultKind::kNone);
  EXPECT_EQ(RunChecked([&] { out = g_one / 3.0L; }), FaultKind::kNone);
  EXPECT_EQ(RunChecked([&] { out = std::exp(-20000.0L * g_one); }), FaultKind::kNone);
  EXPECT_EQ(out, 0.0L);
}

TEST(FpGuard, DivisionByZeroWinsOverOverflowAndOverflowOverInvalid) {
  long double a = 0, b = 0, c = 0;
  EXPECT_EQ(RunChecked([&] {
              a = g_zero / g_zero;
              b = g_huge * 4.0L;
              c = g_one / g_zero;
            }),
            FaultKind::kDivisionByZero);
  EXPECT_EQ(RunChecked([&] {
              a = g_zero / g_zero;
              b = g_huge * 4.0L;
            }),
            FaultKind::kOverflow);
}

TEST(FpGuard, FlagsRaisedOutsideACheckedStepDoNotCount) {
  volatile long double out = g_one / g_zero;  // as a library outside the model might
  (void)out;
  ASSERT_TRUE(std::fetestexcept(FE_DIVBYZERO));
  long double sum = 0;
  EXPECT_NO_THROW(Checked([&] { sum = g_one + g_one; }));
  EXPECT_EQ(sum, 2.0L);
}

TEST(FpGuard, CheckedThrowsTheRunError) {
  long double out = 0;
  try {
    Checked([&] { out = g_huge + g_huge; });
    FAIL() << "no error raised";
  } catch (const RunError& e) {
    EXPECT_STREQ(e.what(), "Gleitkommaüberlauf");
  }
}

TEST(FpGuard, EnvironmentIsExtendedPrecisionRoundToNearest) {
  EXPECT_NO_THROW(AssertFloatingPointEnvironment());
  // A 64-bit significand distinguishes 1 + 2^-63 from 1; a 53-bit one would not.
  volatile long double eps = std::ldexp(1.0L, -63);
  EXPECT_NE(g_one + eps, g_one);
}

TEST(UserMessage, FullStopOnlyAfterCharactersSortingAfterThePoint) {
  EXPECT_EQ(UserMessage("Datei nicht gefunden"), "Datei nicht gefunden.");
  EXPECT_EQ(UserMessage("E/A-Fehler 28"), "E/A-Fehler 28.");
  EXPECT_EQ(UserMessage("Listenindex überschreitet das Maximum (8)"),
            "Listenindex überschreitet das Maximum (8)");
  EXPECT_EQ(UserMessage("Schon fertig."), "Schon fertig.");
  EXPECT_EQ(UserMessage("Komma,"), "Komma,");  // ',' sorts before '.'
  EXPECT_EQ(UserMessage("Schrägstrich/"), "Schrägstrich/.");  // '/' sorts after '.'
  EXPECT_EQ(UserMessage(""), "");
}

TEST(FileErrors, OperatingSystemErrorsMapToTheRuntimeMessages) {
  auto message = [](int err) {
    try {
      ThrowFileError(err);
    } catch (const RunError& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  EXPECT_EQ(message(ENOENT), "Datei nicht gefunden");
  EXPECT_EQ(message(EACCES), "Dateizugriff verweigert");
  EXPECT_EQ(message(ENAMETOOLONG), "Ungültiger Dateiname");
  EXPECT_EQ(message(EMFILE), "Zu viele geöffnete Dateien");
  EXPECT_EQ(message(ENOSPC), "E/A-Fehler " + std::to_string(ENOSPC));
}

}  // namespace
}  // namespace nlayer
