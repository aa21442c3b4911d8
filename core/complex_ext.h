// Complex arithmetic on extended reals for the layered-medium solution.
//
// There is no complex type: every complex operand is passed as two consecutive long double
// arguments, real part first, and every routine hands its result back through the two output
// slots `re` and `im` at the end of its argument list. It writes the real part into `re`, then
// the imaginary part into `im`, and touches nothing else. Arguments are taken by value, so a
// caller may name one variable both as an argument and as an output slot of the same call; the
// result is the same as with separate variables.
//
// None of the routines tests its arguments. Floating-point faults are left to the caller's
// checked step (core/fp_guard.h): a real exponential, sinh or cosh beyond the extended range
// (|argument| above about 11356.5; for exp only positive arguments) and a square that exceeds
// the extended range raise the overflow flag; a zero divisor in CDiv raises invalid or
// division by zero (see there). Underflow is silent.
//
// Every intermediate is a long double and the operations are evaluated in the order written in
// complex_ext_inl.h; that order is part of the result. The real elementary functions are those of
// core/ext_math.h: sinh and cosh of one argument come from one exponential, sin and cos from
// one argument reduction.
//
// The routines ending in "From" take the real functions of their hyperbolic arguments ready
// made (CHypTrig), so that a caller combining one argument several times evaluates them once.
#pragma once

namespace nlayer {

// What the hyperbolic routines need of a complex argument z = x + iy: sinh x, cosh x, sin y and
// cos y.
struct CHypTrig {
  long double sh, ch, sn, cs;
};

inline CHypTrig CHypTrigOf(long double x, long double y);

// sinh(x + iy) = sinh x·cos y + i·cosh x·sin y.
inline void CSinh(long double x, long double y, long double& re, long double& im);

// cosh(x + iy) = cosh x·cos y + i·sinh x·sin y.
inline void CCosh(long double x, long double y, long double& re, long double& im);

// (a + ib) / (c + id), through the unscaled divisor norm q = d² + c²; a divisor whose squares
// exceed the extended range overflows. For a divisor of exactly 0 + 0i both numerators vanish
// too, so the result is 0/0 and raises invalid (not division by zero) for any finite dividend;
// a nonzero divisor whose squares underflow to q = 0 raises division by zero for a dividend
// whose numerators stay nonzero.
inline void CDiv(long double a, long double b, long double c, long double d, long double& re,
          long double& im);

// (a + ib) / (c + id) without the divisor's squares (Smith's algorithm): the divisor is first
// divided by its larger part, so a result within the extended range is found for any divisor
// whose parts are, however large or small. A divisor of 0 + 0i gives 0/0, invalid.
inline void CDivScaled(long double a, long double b, long double c, long double d, long double& re,
                long double& im);

// (a + ib) · (c + id).
inline void CMul(long double a, long double b, long double c, long double d, long double& re,
          long double& im);

// Square root of x + iy from the unscaled modulus m = sqrt(y² + x²):
//   re = sqrt((m + x)/2),  im = σ·sqrt((m − x)/2),
// where σ is the sign (−1, 0, +1) of y after rounding y to a double. For a y that is nonzero
// as a double that is the principal root (re ≥ 0, im with the sign of y). When |y| is small
// next to |x|, m ± x cancels and the smaller part of the root loses relative accuracy, down to
// 0 (CSqrt(4, 1e-320) gives 2 + 0i).
//  - y whose magnitude rounds to zero as a double (|y| up to about 2.5e-324, e.g. 1e-330) has
//    σ = 0, so im is exactly 0 whatever x is. For x < 0 this gives 0 + 0i, far from the true
//    root; the formulas are kept as they are because callers pass x > 0 or y > 0.
//  - y exactly 0 (either signed zero) with x ≥ 0 gives sqrt(x) + 0i.
//  - y exactly 0 with x < 0 (the negative real axis) gives 0 + 0i, as the formulas do. A layer
//    with a negative mua reaches this at zero modulation frequency; the root's true value
//    0 + i·sqrt(−x) would turn such models into curves that mean nothing, where the formulas
//    lead them to the fault that ends them.
//  - |y| beyond the double range rounds to an infinity, which raises the overflow flag.
inline void CSqrt(long double x, long double y, long double& re, long double& im);

// The same root with the smaller part kept to its relative accuracy for x > 0: re as above and
// im = σ·|y|/(2 re) (re·im = y/2), where sqrt((m − x)/2) keeps none of its digits once |y| is
// below about 1e-10 of x. x ≤ 0 takes the formulas above.
inline void CSqrtStable(long double x, long double y, long double& re, long double& im);

// exp(x + iy) = e^x·cos y + i·e^x·sin y. Tends to 0 + 0i without a fault as x → −∞.
inline void CExp(long double x, long double y, long double& re, long double& im);

// A·cosh z + B·sinh z, with cosh and sinh of z expanded into real functions of z.re and z.im.
inline void CCoshSinhComb(long double a_re, long double a_im, long double z_re, long double z_im,
                   long double b_re, long double b_im, long double& re, long double& im);

// A·sinh u·cosh v + B·cosh u·sinh v, evaluated as P·sinh(u + v) + Q·sinh(u − v) with
// P = (A + B)/2 and Q = (A − B)/2. Real part of u − v may be negative.
inline void CSinhCoshProd(long double a_re, long double a_im, long double u_re, long double u_im,
                   long double v_re, long double v_im, long double b_re, long double b_im,
                   long double& re, long double& im);

// A·cosh u·cosh v + B·sinh u·sinh v, evaluated as P·cosh(u + v) + Q·cosh(u − v) with
// P = (A + B)/2 and Q = (A − B)/2.
inline void CCoshCoshProd(long double a_re, long double a_im, long double u_re, long double u_im,
                   long double v_re, long double v_im, long double b_re, long double b_im,
                   long double& re, long double& im);

// The same routines on ready-made real functions of their arguments.
inline void CSinhFrom(const CHypTrig& z, long double& re, long double& im);
inline void CCoshFrom(const CHypTrig& z, long double& re, long double& im);
inline void CCoshSinhCombFrom(long double a_re, long double a_im, const CHypTrig& z, long double b_re,
                       long double b_im, long double& re, long double& im);
// `w` and `d` are the functions of u + v and u − v, both sums formed part by part.
inline void CSinhCoshProdFrom(long double a_re, long double a_im, const CHypTrig& w, const CHypTrig& d,
                       long double b_re, long double b_im, long double& re, long double& im);
inline void CCoshCoshProdFrom(long double a_re, long double a_im, const CHypTrig& w, const CHypTrig& d,
                       long double b_re, long double b_im, long double& re, long double& im);

}  // namespace nlayer

#include "core/complex_ext_inl.h"  // IWYU pragma: export
