#include "io/input_reader.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "app/run_error.h"
#include "tests/test_support.h"

namespace nlayer {
namespace {

using testing::TempWorkDir;

// Reads values from `content` in the order given by `kinds` ('i' integer, 'r' real); reals
// and integers are both returned as long double.
std::vector<long double> ReadValues(const std::string& content, const std::string& kinds) {
  TempWorkDir dir;
  dir.Write("input.dat", content);
  TextFile file;
  file.OpenRead("input.dat");
  InputReader reader(file);
  std::vector<long double> values;
  for (char kind : kinds) {
    values.push_back(kind == 'i' ? static_cast<long double>(reader.ReadInteger()) : reader.ReadReal());
  }
  return values;
}

// The refusal of reading `content`, in the words of the window's run.
std::string ErrorOf(const std::string& content, const std::string& kinds) {
  try {
    ReadValues(content, kinds);
  } catch (const FileRefusal& e) {
    return RunMessage(e);
  }
  return "";
}

FileRefusal RefusalOf(const std::string& content, const std::string& kinds) {
  try {
    ReadValues(content, kinds);
  } catch (const FileRefusal& e) {
    return e;
  }
  ADD_FAILURE() << "no refusal";
  return FileRefusal(RefusalKind::kIoError, {}, 0);
}

long double Real(std::string_view token) {
  long double value = -1;
  EXPECT_TRUE(ParseRealToken(token, value)) << token;
  return value;
}

TEST(RealTokens, ShortDecimalsReadAsTheNearestExtendedNumber) {
  // 1.4 must come out as the very extended number the boundary shortcut compares with.
  EXPECT_EQ(Real("1.4"), 1.4L);
  EXPECT_EQ(Real("1.40"), 1.4L);
  EXPECT_EQ(Real("14e-1"), 1.4L);
  EXPECT_EQ(Real("0.14E+1"), 1.4L);
  EXPECT_EQ(Real("+1.4"), 1.4L);
  EXPECT_EQ(Real("-1.4"), -1.4L);
  EXPECT_EQ(Real("5"), 5.0L);
  EXPECT_EQ(Real("5."), 5.0L);
  EXPECT_EQ(Real(".5"), 0.5L);
  EXPECT_EQ(Real("2.99792458e11"), 2.99792458e11L);
  EXPECT_EQ(Real("0"), 0.0L);
  EXPECT_NE(Real("1.41"), 1.4L);
}

TEST(RealTokens, UpTo19DigitsAndExponent27AgreeWithCorrectlyRoundedConversion) {
  // glibc's strtold rounds correctly: an independent oracle for the digit-by-digit rule.
  std::mt19937_64 rng(20261207);
  for (int trial = 0; trial < 20000; ++trial) {
    const int digits = 1 + static_cast<int>(rng() % 19);
    std::string mantissa;
    for (int d = 0; d < digits; ++d) mantissa += static_cast<char>('0' + rng() % 10);
    const int point = static_cast<int>(rng() % (digits + 1));
    const int fraction = digits - point;
    const int exponent = static_cast<int>(rng() % 55) - 27;
    // Keep the effective power of ten within +-27.
    if (exponent - fraction < -27 || exponent - fraction > 27) continue;
    const std::string token = mantissa.substr(0, point) + "." + mantissa.substr(point) + "e" +
                              std::to_string(exponent);
    EXPECT_EQ(Real(token), std::strtold(token.c_str(), nullptr)) << token;
  }
}

TEST(RealTokens, AnythingButAWholeNumberIsRefused) {
  long double v = 0;
  for (const char* bad : {"1,4", "1.4mm", "1.4;", "nan", "inf", "1e", "1e+", ".", "-", "+", "",
                          "$FF", "0x1", "1.4.1", "1e5.0", "--1", "e5", "1 "}) {
    EXPECT_FALSE(ParseRealToken(bad, v)) << '"' << bad << '"';
  }
}

TEST(IntegerTokens, DecimalAndHexadecimalFormsWithinThe32BitRange) {
  std::int32_t v = 0;
  const std::pair<const char*, std::int32_t> good[] = {
      {"2", 2},     {"+2", 2},   {"-1", -1},   {"007", 7},         {"$FF", 255},
      {"xff", 255}, {"XA", 10},  {"0x10", 16}, {"0X7FFFFFFF", 2147483647},
      {"2147483647", 2147483647}, {"-2147483648", -2147483647 - 1}};
  for (auto [token, value] : good) {
    ASSERT_TRUE(ParseIntegerToken(token, v)) << token;
    EXPECT_EQ(v, value) << token;
  }
  for (const char* bad : {"2.0", "1e1", "-$1", "+x1", "$", "0x", "x", "2147483648", "-2147483649",
                          "$80000000", "$G", "4;", "", "-", "0x-1"}) {
    EXPECT_FALSE(ParseIntegerToken(bad, v)) << '"' << bad << '"';
  }
}

TEST(InputLines, CommentsBlankLinesAndLineEnds) {
  EXPECT_EQ(ReadValues("2\n1.4 refractive index\n\n\n   0.5\t# tab before comment\n", "irr"),
            (std::vector<long double>{2, 1.4L, 0.5L}));
  EXPECT_EQ(ReadValues("2\r\n1.4\r\n\r\n7\r\n", "irr"), (std::vector<long double>{2, 1.4L, 7}));
  // Control characters count as blanks, across lines.
  EXPECT_EQ(ReadValues("\v\f 3\n\x01\x02 4\n", "ir"), (std::vector<long double>{3, 4}));
}

TEST(InputLines, ASecondValueOnALineIsLostAndEveryLaterReadShifts) {
  EXPECT_EQ(ReadValues("1 2\n3\n4\n", "rrr"), (std::vector<long double>{1, 3, 4}));
}

TEST(InputLines, TheEndOfTheFileReadsAsZeroWithoutError) {
  EXPECT_EQ(ReadValues("1\n2", "irrr"), (std::vector<long double>{1, 2, 0, 0}));
  EXPECT_EQ(ReadValues("", "ir"), (std::vector<long double>{0, 0}));
  // Code 26 ends the file: what follows it is never read.
  EXPECT_EQ(ReadValues("1\n2\x1a\n3\n", "rrr"), (std::vector<long double>{1, 2, 0}));
}

TEST(InputLines, BadTokensAreInputErrors) {
  const std::string kBad(kInvalidNumericInput);
  EXPECT_EQ(ErrorOf("1.4;\n", "r"), kBad);
  EXPECT_EQ(ErrorOf("2.5\n", "i"), kBad);
  EXPECT_EQ(ErrorOf("1,4\n", "r"), kBad);
  EXPECT_EQ(ErrorOf("\xEF\xBB\xBF" "1\n", "i"), kBad);  // a byte order mark is not a blank
  EXPECT_EQ(ErrorOf("1.4mm\n", "r"), kBad);
  // The refusal names what, where and which token: the third value, on line 4.
  const FileRefusal refusal = RefusalOf("1\n2\n\n1,4 comment\n", "irr");
  EXPECT_EQ(refusal.kind(), RefusalKind::kInvalidNumber);
  EXPECT_EQ(refusal.path(), "input.dat");
  EXPECT_EQ(refusal.line(), 4);
  EXPECT_EQ(refusal.token(), "1,4");
}

TEST(InputLines, OverlongTokensAreRefusedNotCut) {
  const std::string digits64(64, '1');
  EXPECT_LT(testing::RelErr(ReadValues(digits64 + "\n", "r")[0], std::strtold(digits64.c_str(), nullptr)),
            1e-17L);  // 64 digits accumulate a few roundings of the extended significand
  EXPECT_EQ(ErrorOf(std::string(65, '1') + "\n", "r"), std::string(kInvalidNumericInput));
  EXPECT_EQ(ErrorOf(std::string(1000, '1') + "\n", "r"), std::string(kInvalidNumericInput));
  EXPECT_EQ(ReadValues(std::string(32, '0') + "\n", "i")[0], 0);
  EXPECT_EQ(ErrorOf(std::string(33, '0') + "\n", "i"), std::string(kInvalidNumericInput));
  const FileRefusal refusal = RefusalOf("\n" + std::string(65, '1') + "\n", "r");
  EXPECT_EQ(refusal.kind(), RefusalKind::kTooLong);
  EXPECT_EQ(refusal.line(), 2);
  EXPECT_EQ(refusal.token(), std::string(64, '1'));  // cut at the limit
}

TEST(InputLines, ValuesBeyondTheExtendedRangeOverflowTinyOnesUnderflowToZero) {
  EXPECT_EQ(ErrorOf("1e5000\n", "r"), "Gleitkommaüberlauf");
  EXPECT_EQ(RefusalOf("1e5000\n", "r").kind(), RefusalKind::kOutOfRange);
  EXPECT_EQ(RefusalOf("1e5000\n", "r").fault(), FaultKind::kOverflow);
  EXPECT_EQ(ReadValues("1e-5000\n", "r")[0], 0.0L);
  // Within the range, large exponents still read, scaled in steps of 10^31 (a few roundings).
  EXPECT_LT(testing::RelErr(ReadValues("1e4000\n", "r")[0], std::strtold("1e4000", nullptr)), 1e-16L);
  EXPECT_LT(testing::RelErr(ReadValues("2.5e-4000\n", "r")[0], std::strtold("2.5e-4000", nullptr)), 1e-16L);
}

}  // namespace
}  // namespace nlayer
