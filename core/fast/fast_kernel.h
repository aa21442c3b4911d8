// The vectorised arithmetic of the fast engine: the layered solution at every point of the
// Hankel rule for one modulation frequency, and the weighted sums of the transform, in double
// and double-double precision through Google Highway, dispatched at run time to the best
// instruction set of the machine (AVX-512, AVX2 or portable scalar code).
//
// Only this module holds SIMD code, and only through Highway's operations. Every instruction
// set computes the same formulas in the same order; they differ in whether a multiply-add is
// fused (where it is not, the error-free products use Dekker's split instead, so the
// double-double parts keep their precision) and in the vector width, which the compensated
// sums make all but irrelevant. Curves of two instruction sets differ by about 1e-14 of their
// peak (tests/fast_engine_test.cpp compares every one the library was built for).
#pragma once

#include <cstddef>
#include <vector>

namespace nlayer::fast {

// The rule's 960 points padded to a multiple of any vector width: the padding repeats the last
// point, so it evaluates to the same finite values, and carries zero weight.
inline constexpr std::size_t kPaddedPoints = 1024;

// A value as a double and the double nearest to what that leaves out, for the few quantities
// whose rounding the transform would amplify (see fast_kernel.cpp).
struct Split {
  double hi = 0;
  double lo = 0;
};

// What the layered solution needs of the model and the rule, rounded to doubles once per call.
// Layer k = 0 is the top. Lengths are given as the multiples the exponentials use.
struct KernelModel {
  int layers = 0;
  const double* s2_hi = nullptr;       // s^2 at every padded point, 1/mm^2, as a split pair
  const double* s2_lo = nullptr;
  const double* magnitude = nullptr;   // |rule weight · s / (2 pi)| at every padded point, 0 in the padding
  const double* log_magnitude = nullptr;  // ln(4 · magnitude), -inf in the padding
  double screen_depth = 0;             // z0, or 2 l0 - z0 where shorter (0 where that is negative), mm
  std::vector<double> mua_over_d;      // mua / D per layer, 1/mm^2
  Split top_mua_over_d;                // the same of the top layer, split
  std::vector<double> diff_coef;       // D per layer, mm
  std::vector<double> nu_diff_coef;    // (n_k / n_(k-1))^2 D_k for k >= 1; [0] unused
  // Differences of neighbouring layers, k = 0 ... N - 2, formed in extended precision:
  std::vector<double> mua_over_d_step; // mua_k / D_k - mua_(k+1) / D_(k+1)
  std::vector<double> diff_coef_step;  // D_k - (n_(k+1) / n_k)^2 D_(k+1)
  std::vector<double> twice_depth;     // 2 l_k for 0 < k < N - 1, 2 (l_(N-1) + zb bottom) for the bottom
  Split z0;                            // source depth, mm
  Split twice_zb;                      // 2 zb of the top surface, mm
  Split twice_top_minus_z0;            // 2 l_0 - z0, mm
  // Tables of the double-double exponential and phase, each entry as hi and lo:
  // 2^(j/64) (exp2_hi[j], exp2_hi[64 + j]) and sin, cos of 2 pi j / 64 (four rows of 64).
  const double* exp2_table = nullptr;   // 128 values
  const double* sincos_table = nullptr; // 256 values: sin hi, sin lo, cos hi, cos lo
};

// The tables above, computed once in extended precision.
const double* Exp2Table();
const double* SinCosTable();

// The layered solution (without the kernel s / (2 pi) and the Bessel factor) at every padded
// point, as split pairs: the value is hi + lo.
struct PointValues {
  double* re_hi;
  double* re_lo;
  double* im_hi;
  double* im_lo;
};

// Writes the solution for the frequency terms omega n / (c D) of each layer (`omega_terms`,
// 1/mm^2; the differences of neighbouring layers' terms, formed in extended precision, in
// `omega_term_steps`; the top layer's term also split, `top_omega_term`) into `out`
// (kPaddedPoints each, 64-byte aligned). Allocates nothing. Values that leave the double range
// come out as infinities or NaNs, which the caller detects in the sums.
void EvaluateSolution(const KernelModel& model, const double* omega_terms, const double* omega_term_steps,
                      Split top_omega_term, const PointValues& out);

// The sums over the padded points of (weights_hi + weights_lo) (re_hi + re_lo) and the same of
// the imaginary parts, each product and sum carried with its rounding error (all arrays 64-byte
// aligned, kPaddedPoints long). The compensated sums barely depend on their order, so the
// vector width hardly changes them.
void WeightedSums(const double* weights_hi, const double* weights_lo, const PointValues& values,
                  long double& sum_re, long double& sum_im);

// What the derivatives of the solution with respect to mua and mus' of each layer need besides
// the KernelModel, per layer k (top first). The solution depends on the parameters through
// x_k = s^2 + mua_k / D_k, y_k = omega n_k / (c D_k), D_k = 1 / (3 mus'_k), the source depth
// z0 = 1 / (mua_0 + mus'_0) and the extrapolation lengths zb of the top and the bottom layer.
struct DerivativeModel {
  std::vector<double> x_per_mua;      // d x_k / d mua_k = 1 / D_k, 1/mm
  std::vector<double> x_per_musp;     // d x_k / d mus'_k = (mua_k / D_k) / mus'_k, 1/mm
  std::vector<double> inverse_musp;   // 1 / mus'_k, mm: y_k is proportional to mus'_k
  std::vector<double> d_per_musp;     // d D_k / d mus'_k = -D_k / mus'_k, mm^2
  double z0_per_coefficient = 0;      // d z0 / d mua_0 = d z0 / d mus'_0 = -z0^2, mm^2
  double zb_top_per_musp = 0;         // d zb / d mus'_0 of the top surface, mm^2
  double zb_bottom_per_musp = 0;      // the same of the bottom surface and mus'_(N-1), mm^2
};

// The most layers EvaluateDerivatives takes: it keeps what each layer passes on in registers
// and on the stack.
inline constexpr int kMaxDerivativeLayers = 16;

// Writes the solution V (as EvaluateSolution, in double only) and its derivatives with respect
// to mua_0, mus'_0, mua_1, mus'_1, ... at every padded point: block j (0 the value, 1 + 2k the
// derivative by mua_k, 2 + 2k that by mus'_k, and 1 + 2N the sum 2 (V + s^2 dV / d s^2)) holds
// the real parts at out + 2 j kPaddedPoints and the imaginary parts kPaddedPoints after them
// (out 64-byte aligned). The derivatives are those of the solution at a fixed point s; the last
// block serves the move of the rule's points, multiples of mus'_0, which the caller adds
// (core/fast/fast_derivatives.cpp). At most kMaxDerivativeLayers layers.
void EvaluateDerivatives(const KernelModel& model, const DerivativeModel& derivative, const double* omega_terms,
                         double* out);

// The sums over the padded points of weights times each of 2 `blocks` rows of kPaddedPoints
// (`rows` as EvaluateDerivatives writes them, from the block wanted on) into sums[0 ... 2 blocks),
// in plain double: the points' derivatives carry a few ulp each, which the compensated sums of
// WeightedSums would not improve.
void BlockSums(const double* weights, const double* rows, std::size_t blocks, double* sums);

}  // namespace nlayer::fast
