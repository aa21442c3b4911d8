// Writes the constant data of the extended-precision elementary functions (core/ext_math_inl.h)
// as C++ source:
//
//   <out-dir>/ext_math_tables.cpp  the 2^(j/128) table, the sin/cos and sinh/cosh tables at
//                                  i/64, the split constants of the two argument reductions and
//                                  the polynomial coefficients
//
// Usage: gen_ext_math_tables <out-dir>         (regenerate with: gen_ext_math_tables core/generated)
//        gen_ext_math_tables --check <file>    exit 0 when <file> equals what would be written
//
// Table values come from binary128 (113 bits): each is rounded once to the nearest extended real
// (the high part) and the remainder once more, to a double (the low part). The pieces of pi/2
// need more than binary128 holds (k·piece must stay exact for every |k| < 2^20 and the pieces
// together must reach past 2^-180), so pi/2 and ln 2 are computed here in 480-bit fixed point
// from Machin's formula and the series of atanh(1/3). Every value is printed as an
// exact hexadecimal literal, so the compiler does no rounding and a rerun reproduces the file
// byte for byte. Exit status 0 on success, 1 on a usage or file error or a stale file (--check),
// 2 if a self-check of the computed constants fails.
#include <quadmath.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// ---------------------------------------------------------------------------------------------
// Fixed-point numbers with one 32-bit integer limb and 15 fraction limbs (480 bits), most
// significant limb first. Only what the two series need: add, subtract, divide by and multiply
// by a small integer.

constexpr int kLimbs = 16;
using Fixed = std::array<std::uint32_t, kLimbs>;

Fixed FixedFromInteger(std::uint32_t value) {
  Fixed a{};
  a[0] = value;
  return a;
}

bool IsZero(const Fixed& a) {
  for (std::uint32_t limb : a) {
    if (limb != 0) return false;
  }
  return true;
}

void Add(Fixed& a, const Fixed& b) {
  std::uint64_t carry = 0;
  for (int i = kLimbs - 1; i >= 0; --i) {
    const std::uint64_t sum = std::uint64_t{a[i]} + b[i] + carry;
    a[i] = static_cast<std::uint32_t>(sum);
    carry = sum >> 32;
  }
}

void Subtract(Fixed& a, const Fixed& b) {
  std::int64_t borrow = 0;
  for (int i = kLimbs - 1; i >= 0; --i) {
    std::int64_t difference = std::int64_t{a[i]} - b[i] - borrow;
    borrow = difference < 0 ? 1 : 0;
    if (difference < 0) difference += std::int64_t{1} << 32;
    a[i] = static_cast<std::uint32_t>(difference);
  }
}

void DivideBy(Fixed& a, std::uint32_t divisor) {
  std::uint64_t remainder = 0;
  for (int i = 0; i < kLimbs; ++i) {
    const std::uint64_t current = (remainder << 32) | a[i];
    a[i] = static_cast<std::uint32_t>(current / divisor);
    remainder = current % divisor;
  }
}

void MultiplyBy(Fixed& a, std::uint32_t factor) {
  std::uint64_t carry = 0;
  for (int i = kLimbs - 1; i >= 0; --i) {
    const std::uint64_t product = std::uint64_t{a[i]} * factor + carry;
    a[i] = static_cast<std::uint32_t>(product);
    carry = product >> 32;
  }
}

// Bit `position` of a, counted from the most significant bit of the integer limb (position 0
// has weight 2^31).
int BitAt(const Fixed& a, int position) {
  return static_cast<int>((a[position / 32] >> (31 - position % 32)) & 1u);
}

void ClearBit(Fixed& a, int position) { a[position / 32] &= ~(1u << (31 - position % 32)); }

// arctan(1/n) = sum over k of (-1)^k / ((2k + 1) n^(2k+1)); each term is truncated, so the sum
// is low by at most one unit of the last limb per term (about 2^-470 in all).
Fixed ArctanOfReciprocal(std::uint32_t n) {
  Fixed power = FixedFromInteger(1);
  DivideBy(power, n);
  Fixed sum{};
  for (std::uint32_t k = 0; !IsZero(power); ++k) {
    Fixed term = power;
    DivideBy(term, 2 * k + 1);
    if (k % 2 == 0) {
      Add(sum, term);
    } else {
      Subtract(sum, term);
    }
    DivideBy(power, n);
    DivideBy(power, n);
  }
  return sum;
}

// Machin (1706): pi/4 = 4 arctan(1/5) - arctan(1/239), so pi/2 = 8 arctan(1/5) - 2 arctan(1/239).
Fixed HalfPi() {
  Fixed a = ArctanOfReciprocal(5);
  MultiplyBy(a, 8);
  Fixed b = ArctanOfReciprocal(239);
  MultiplyBy(b, 2);
  Subtract(a, b);
  return a;
}

// ln 2 = 2 atanh(1/3) = 2 sum over k of 1 / ((2k + 1) 3^(2k+1)).
Fixed Ln2() {
  Fixed power = FixedFromInteger(1);
  DivideBy(power, 3);
  Fixed sum{};
  for (std::uint32_t k = 0; !IsZero(power); ++k) {
    Fixed term = power;
    DivideBy(term, 2 * k + 1);
    Add(sum, term);
    DivideBy(power, 9);
  }
  MultiplyBy(sum, 2);
  return sum;
}

// Removes the leading `bits` significant bits of a (a > 0) and returns them as an exact long
// double: the Cody-Waite pieces. With round_last, the piece is rounded to nearest on the next
// bit instead of truncated (for the final piece, whose remainder is dropped).
long double TakeLeadingBits(Fixed& a, int bits, bool round_last) {
  int first = 0;
  while (BitAt(a, first) == 0) ++first;
  std::uint64_t significand = 0;
  for (int b = 0; b < bits; ++b) {
    significand = (significand << 1) | static_cast<std::uint64_t>(BitAt(a, first + b));
    ClearBit(a, first + b);
  }
  // Exact even if the increment carries out of 64 bits: 2^64 is an extended real.
  long double piece = static_cast<long double>(significand);
  if (round_last && BitAt(a, first + bits) == 1) piece += 1;
  // Bit position p has weight 2^(31 - p).
  return std::ldexp(piece, 31 - (first + bits - 1));
}

__float128 FixedToQuad(const Fixed& a) {
  __float128 value = 0;
  for (int i = kLimbs - 1; i >= 0; --i) value = (value + a[i]) / 4294967296.0Q;
  return value * 4294967296.0Q;
}

// ---------------------------------------------------------------------------------------------
// Output.

// An extended real as the exact hexadecimal literal 0x1.<63 fraction bits>p<exponent>L (zero as
// 0.0L). Only normal values occur.
std::string HexLiteral(long double value) {
  if (value == 0) return "0.0L";
  std::uint64_t significand = 0;
  std::uint16_t sign_exponent = 0;
  unsigned char bytes[sizeof(long double)] = {};
  std::memcpy(bytes, &value, sizeof value);
  std::memcpy(&significand, bytes, 8);
  std::memcpy(&sign_exponent, bytes + 8, 2);
  const int exponent = (sign_exponent & 0x7fff) - 16383;
  std::string fraction;
  const std::uint64_t fraction_bits = significand << 1;  // the 63 bits after the leading 1
  char digits[17];
  std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(fraction_bits));
  fraction = digits;
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  char text[64];
  std::snprintf(text, sizeof text, "%s0x1%s%sp%+dL", (sign_exponent & 0x8000) ? "-" : "",
                fraction.empty() ? "" : ".", fraction.c_str(), exponent);
  return text;
}

// A double as the exact hexadecimal literal 0x1.<52 fraction bits>p<exponent> (zero as 0.0).
// Only normal values occur.
std::string HexLiteral(double value) {
  if (value == 0) return "0.0";
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof value);
  const int exponent = static_cast<int>((bits >> 52) & 0x7ff) - 1023;
  char digits[16];
  std::snprintf(digits, sizeof digits, "%013llx",
                static_cast<unsigned long long>(bits & ((std::uint64_t{1} << 52) - 1)));
  std::string fraction = digits;
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  char text[64];
  std::snprintf(text, sizeof text, "%s0x1%s%sp%+d", (bits >> 63) ? "-" : "",
                fraction.empty() ? "" : ".", fraction.c_str(), exponent);
  return text;
}

// A table value: the nearest extended real and the remainder rounded to a double, together
// about 117 bits, more than the 113 of the binary128 value they come from.
struct HiLo {
  long double hi;
  double lo;
};

HiLo SplitQuad(__float128 value) {
  const long double hi = static_cast<long double>(value);
  const double lo = static_cast<double>(value - static_cast<__float128>(hi));
  return {hi, lo};
}

std::string Decimal(__float128 value) {
  char text[64];
  quadmath_snprintf(text, sizeof text, "%.33Qe", value);
  return text;
}

// Constants that a double holds exactly or to the precision they need are doubles: an x87 load
// of a double is one fast operation, that of an extended real a slow microcoded one.
std::string Constant(const char* name, double value, const std::string& comment) {
  return "// " + comment + "\nconst double " + name + " = " + HexLiteral(value) + ";\n";
}

constexpr int kExpTableSize = 128;      // must match core/ext_math.h
constexpr int kNodesPerUnit = 64;       // must match core/ext_math.h
constexpr int kSinCosTableSize = 51;    // nodes i/64, i = 0 ... 50, reach past pi/4
constexpr int kSinhCoshTableSize = 65;  // nodes i/64, i = 0 ... 64, reach 1

std::string ExpTable() {
  std::string text = "const HiLo kExp2Table[kExpTableSize] = {\n";
  for (int j = 0; j < kExpTableSize; ++j) {
    const HiLo entry = SplitQuad(exp2q(static_cast<__float128>(j) / kExpTableSize));
    text += "    {" + HexLiteral(entry.hi) + ", " + HexLiteral(entry.lo) + "},  // 2^(" +
            std::to_string(j) + "/128)\n";
  }
  return text + "};\n";
}

// Values f(i/64) and g(i/64) of an odd and an even function at the nodes i = 0 ... count - 1.
std::string NodeTable(const char* name, const char* size, int count, __float128 (*odd)(__float128),
                      __float128 (*even)(__float128), const char* odd_name, const char* even_name) {
  std::string text = "const OddEvenNode " + std::string(name) + "[" + size + "] = {\n";
  for (int i = 0; i < count; ++i) {
    const __float128 node = static_cast<__float128>(i) / kNodesPerUnit;
    const HiLo o = SplitQuad(odd(node));
    const HiLo e = SplitQuad(even(node));
    text += "    {{" + HexLiteral(o.hi) + ", " + HexLiteral(e.hi) + "},  // " + odd_name + ", " +
            even_name + "(" + std::to_string(i) + "/64)\n     {" + HexLiteral(o.lo) + ", " +
            HexLiteral(e.lo) + "}},\n";
  }
  return text + "};\n";
}

__float128 Factorial(int n) {
  __float128 factorial = 1;
  for (int m = 2; m <= n; ++m) factorial *= m;
  return factorial;
}

// ±1/n! for n = first, first + step, ..., last, each rounded once to the nearest double; the
// first has sign `first_sign`, and the signs alternate when `alternate`.
std::string TaylorCoefficients(const char* name, int first, int last, int step, int first_sign,
                               bool alternate) {
  std::string text = "const double " + std::string(name) + "[] = {\n";
  int sign = first_sign;
  for (int n = first; n <= last; n += step) {
    const double coefficient = static_cast<double>(sign / Factorial(n));
    text += "    " + HexLiteral(coefficient) + ",  // " + (sign < 0 ? "-" : "") + "1/" +
            std::to_string(n) + "!\n";
    if (alternate) sign = -sign;
  }
  return text + "};\n";
}

struct ReductionConstants {
  double ln2_over_n_hi;
  double ln2_over_n_lo;
  std::array<double, 4> half_pi;
  bool ok;
};

// Cody and Waite (1980): a constant C is split into pieces with few enough significant bits that
// k·piece is exact, so x - k·C can be formed without the rounding error of k·C.
//  - ln2/128: 42 bits, so k·hi is exact for |k| < 2^22 (|x| below about 22700); the low part
//    is the next 53 bits rounded, which leaves an error below 2^-103 in ln2/128.
//  - pi/2: three pieces of 44 bits, exact times |k| < 2^20, and a fourth of 53 bits rounded,
//    about 185 bits in all.
// All pieces are doubles (see Constant).
ReductionConstants ComputeReductionConstants() {
  ReductionConstants c{};
  Fixed ln2 = Ln2();
  const __float128 ln2_quad = FixedToQuad(ln2);
  c.ln2_over_n_hi = static_cast<double>(std::ldexp(TakeLeadingBits(ln2, 42, false), -7));
  c.ln2_over_n_lo = static_cast<double>(std::ldexp(TakeLeadingBits(ln2, 53, true), -7));

  Fixed half_pi = HalfPi();
  const __float128 half_pi_quad = FixedToQuad(half_pi);
  c.half_pi[0] = static_cast<double>(TakeLeadingBits(half_pi, 44, false));
  c.half_pi[1] = static_cast<double>(TakeLeadingBits(half_pi, 44, false));
  c.half_pi[2] = static_cast<double>(TakeLeadingBits(half_pi, 44, false));
  c.half_pi[3] = static_cast<double>(TakeLeadingBits(half_pi, 53, true));

  // The fixed-point series must agree with libquadmath's constants to binary128 precision.
  c.ok = fabsq(ln2_quad - M_LN2q) <= 2 * FLT128_EPSILON * M_LN2q &&
         fabsq(half_pi_quad - M_PI_2q) <= 2 * FLT128_EPSILON * M_PI_2q;
  return c;
}

std::string TablesSource(const ReductionConstants& c) {
  const __float128 ln2_over_n = M_LN2q / kExpTableSize;
  return std::string(
             "// Generated by tools/gen_ext_math_tables.cpp. Do not edit; rerun the generator.\n"
             "//\n"
             "// Constant data of the extended-precision elementary functions: every value is an\n"
             "// exact hexadecimal extended real or double. Table entries are binary128 values split\n"
             "// into the nearest extended real and the remainder rounded to a double.\n"
             "#include \"core/ext_math.h\"\n"
             "\n"
             "namespace nlayer::ext_math_internal {\n"
             "\n") +
         Constant("kLn2OverNHi", c.ln2_over_n_hi,
                  "ln2/128 = " + Decimal(ln2_over_n) + ": leading 42 bits") +
         Constant("kLn2OverNLo", c.ln2_over_n_lo, "ln2/128 - kLn2OverNHi, next 53 bits rounded") +
         Constant("kNOverLn2", static_cast<double>(kExpTableSize / M_LN2q), "128/ln2 rounded") +
         Constant("kHalfPi1", c.half_pi[0], "pi/2 = " + Decimal(M_PI_2q) + ": leading 44 bits") +
         Constant("kHalfPi2", c.half_pi[1], "next 44 bits of pi/2") +
         Constant("kHalfPi3", c.half_pi[2], "next 44 bits of pi/2") +
         Constant("kHalfPi4", c.half_pi[3], "next 53 bits of pi/2, rounded") +
         Constant("kTwoOverPi", static_cast<double>(2 / M_PIq), "2/pi rounded") + "\n" +
         "// e^r - 1 = r + r^2 (c2 + c3 r + ... + c7 r^5): Taylor coefficients c2 ... c7.\n" +
         TaylorCoefficients("kExpm1Taylor", 2, 7, 1, +1, false) + "\n" +
         "// sin z = z + z^3 (s3 + s5 z^2 + ... + s11 z^8): Taylor coefficients s3 ... s11.\n" +
         TaylorCoefficients("kSinTaylor", 3, 11, 2, -1, true) +
         Constant("kSinTaylor3Lo",
                  static_cast<double>(-1 / Factorial(3) - static_cast<double>(-1 / Factorial(3))),
                  "-1/3! - kSinTaylor[0], rounded") +
         "\n" +
         "// cos z = 1 + z^2 (c2 + c4 z^2 + ... + c10 z^8): Taylor coefficients c2 ... c10.\n" +
         TaylorCoefficients("kCosTaylor", 2, 10, 2, -1, true) + "\n" + ExpTable() + "\n" +
         NodeTable("kSinCosTable", "kSinCosTableSize", kSinCosTableSize, sinq, cosq, "sin", "cos") +
         "\n" +
         NodeTable("kSinhCoshTable", "kSinhCoshTableSize", kSinhCoshTableSize, sinhq, coshq, "sinh",
                   "cosh") +
         "\n" + "}  // namespace nlayer::ext_math_internal\n";
}

bool WriteFile(const std::string& path, const std::string& content) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "gen_ext_math_tables: cannot create %s\n", path.c_str());
    return false;
  }
  const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) std::fprintf(stderr, "gen_ext_math_tables: cannot write %s\n", path.c_str());
  return written && closed;
}

bool FileEquals(const std::string& path, const std::string& content) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    std::fprintf(stderr, "gen_ext_math_tables: cannot read %s\n", path.c_str());
    return false;
  }
  std::string existing;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) existing.append(buffer, n);
  std::fclose(file);
  if (existing != content) {
    std::fprintf(stderr, "%s is stale: regenerate it with gen_ext_math_tables core/generated\n",
                 path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const bool check = argc == 3 && std::strcmp(argv[1], "--check") == 0;
  if (argc != 2 && !check) {
    std::fprintf(stderr,
                 "usage: gen_ext_math_tables <out-dir>\n"
                 "       gen_ext_math_tables --check <file>\n");
    return 1;
  }
  const ReductionConstants constants = ComputeReductionConstants();
  if (!constants.ok) {
    std::fprintf(stderr, "gen_ext_math_tables: fixed-point pi/2 or ln 2 disagrees with binary128\n");
    return 2;
  }
  const std::string source = TablesSource(constants);
  if (check) return FileEquals(argv[2], source) ? 0 : 1;
  return WriteFile(std::string(argv[1]) + "/ext_math_tables.cpp", source) ? 0 : 1;
}
