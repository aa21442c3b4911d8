// The replay that names the first fault of a frequency.
//
// A whole frequency runs as one checked step, which tells only that some fault happened and
// ranks the raised flags (division by zero over overflow over invalid). The fault that ends a
// run is the first one in the order of the model's steps, though: a 0/0 met before an overflow
// is an invalid operation. Rather than slow the hot path with a check after every operation,
// a frequency that faulted is replayed here with every operation its own checked step, in the
// order of the model's formulas: the derived terms of the frequency, then point by point the
// spatial frequency, the layered solution, the Bessel factor and the weighted sums.
#include <cmath>
#include <span>

#include <specialfunctions.h>

#include "core/ext_math.h"
#include "core/gauss_weight.h"
#include "core/spectrum.h"

namespace nlayer {

namespace {

// Thrown by the first operation that raises a fault; ends the replay.
struct FirstFault {
  FaultKind fault;
};

template <class F>
long double Step(F&& f) {
  long double r = 0;
  const FaultKind fault = RunChecked([&] { r = f(); });
  if (fault != FaultKind::kNone) throw FirstFault{fault};
  return r;
}

// An extended real whose every operation is checked on its own.
struct T {
  long double v = 0;
};
T operator+(T a, T b) { return {Step([&] { return a.v + b.v; })}; }
T operator-(T a, T b) { return {Step([&] { return a.v - b.v; })}; }
T operator*(T a, T b) { return {Step([&] { return a.v * b.v; })}; }
T operator/(T a, T b) { return {Step([&] { return a.v / b.v; })}; }
T operator-(T a) { return {-a.v}; }  // a sign change raises nothing
T Sqrt(T a) { return {Step([&] { return std::sqrt(a.v); })}; }
T Exp(T a) { return {Step([&] { return ExpExt(a.v); })}; }
T Sinh(T a) {
  return {Step([&] {
    long double sh, ch;
    SinhCoshExt(a.v, sh, ch);
    return sh;
  })};
}
T Cosh(T a) {
  return {Step([&] {
    long double sh, ch;
    SinhCoshExt(a.v, sh, ch);
    return ch;
  })};
}
T Sin(T a) {
  return {Step([&] {
    long double s, c;
    SinCosExt(a.v, s, c);
    return s;
  })};
}
T Cos(T a) {
  return {Step([&] {
    long double s, c;
    SinCosExt(a.v, s, c);
    return c;
  })};
}
double ToDouble(T a) {
  double d = 0;
  Step([&] {
    d = static_cast<double>(a.v);
    return 0.0L;
  });
  return d;
}
T BesselJ0(T rho, T s) {
  const double x = ToDouble(rho * s);
  return {Step([&] { return static_cast<long double>(alglib::besselj0(x)); })};
}
T Half(T a) { return a / T{2.0L}; }

struct C {
  T re, im;
};

C CMul(C a, C b) { return {a.re * b.re - a.im * b.im, a.re * b.im + b.re * a.im}; }

C CDiv(C a, C b) {
  const T q = b.im * b.im + b.re * b.re;
  const T re = (a.re * b.re + a.im * b.im) / q;
  const T im = (a.im * b.re - a.re * b.im) / q;
  return {re, im};
}

C CSqrt(T x, T y) {
  const T m = Sqrt(y * y + x * x);
  const T re = Sqrt(Half(m + x));
  const double yd = ToDouble(y);
  const T sigma{yd > 0.0 ? 1.0L : (yd < 0.0 ? -1.0L : 0.0L)};
  return {re, sigma * Sqrt(Half(m - x))};
}

C CExp(T x, T y) {
  const T e = Exp(x);
  return {e * Cos(y), e * Sin(y)};
}

C CSinh(C z) { return {Sinh(z.re) * Cos(z.im), Cosh(z.re) * Sin(z.im)}; }
C CCosh(C z) { return {Cosh(z.re) * Cos(z.im), Sinh(z.re) * Sin(z.im)}; }

C CCoshSinhComb(C a, C z, C b) {
  const T ch = Cosh(z.re), sh = Sinh(z.re), c = Cos(z.im), s = Sin(z.im);
  const T re = (a.re * ch + b.re * sh) * c - (a.im * sh + b.im * ch) * s;
  const T im = (a.re * sh + b.re * ch) * s + (a.im * ch + b.im * sh) * c;
  return {re, im};
}

// P·F(u + v) + Q·F(u − v) with P = (A + B)/2, Q = (A − B)/2; `sinh_first` selects sinh as F
// (the product routine of sinh u cosh v) or cosh (that of cosh u cosh v).
C CProd(C a, C u, C v, C b, bool sinh_first) {
  const T p = Half(a.re + b.re), q = Half(a.im + b.im);
  const T pd = Half(a.re - b.re), qd = Half(a.im - b.im);
  const C w{u.re + v.re, u.im + v.im}, d{u.re - v.re, u.im - v.im};
  auto f = [&](T x) { return sinh_first ? Sinh(x) : Cosh(x); };
  auto g = [&](T x) { return sinh_first ? Cosh(x) : Sinh(x); };
  const T re = p * f(w.re) * Cos(w.im) + pd * f(d.re) * Cos(d.im) - q * g(w.re) * Sin(w.im) - qd * g(d.re) * Sin(d.im);
  const T im = p * g(w.re) * Sin(w.im) + pd * g(d.re) * Sin(d.im) + q * f(w.re) * Cos(w.im) + qd * f(d.re) * Cos(d.im);
  return {re, im};
}

C Scale(T r, C z) { return {r * z.re, r * z.im}; }

struct Traced {
  std::vector<T> mua, D, l, n, omega_term;
  T z0, zb_top, zb_bottom;
};

T SquaredRatio(T lower, T upper) {
  const T ratio = lower / upper;
  return ratio * ratio;
}

// The layered solution times s / (2 pi), in the order of its formulas.
C KernelTimesSolution(const Traced& m, T s) {
  const int n = static_cast<int>(m.mua.size());
  std::vector<C> alpha(static_cast<std::size_t>(n));
  for (int k = 0; k < n; ++k) alpha[k] = CSqrt(s * s + m.mua[k] / m.D[k], m.omega_term[k]);
  const C e1 = CExp(-alpha[0].re * m.z0, -alpha[0].im * m.z0);
  const T image = T{2.0L} * m.zb_top + m.z0;
  const C e2 = CExp(image * -alpha[0].re, image * -alpha[0].im);
  C h{Half(e1.re + e2.re), Half(e1.im + e2.im)};
  if (n >= 2) {
    C b, c;
    auto d_alpha = [&](int k) { return C{alpha[k].re * m.D[k], alpha[k].im * m.D[k]}; };
    if (n == 2) {
      const T depth = m.l[1] + m.zb_bottom;
      const C u{depth * alpha[1].re, depth * alpha[1].im};
      b = CMul(d_alpha(0), CSinh(u));
      c = CMul(Scale(SquaredRatio(m.n[1], m.n[0]), d_alpha(1)), CCosh(u));
    } else {
      const int bottom = n - 1, above = n - 2;
      const T nu = SquaredRatio(m.n[bottom], m.n[above]);
      const T depth = m.l[bottom] + m.zb_bottom;
      const C u{depth * alpha[bottom].re, depth * alpha[bottom].im};
      const C v{alpha[above].re * m.l[above], alpha[above].im * m.l[above]};
      C beta = CProd(d_alpha(above), u, v, Scale(nu, d_alpha(bottom)), true);
      C gamma = CProd(Scale(nu, d_alpha(bottom)), u, v, d_alpha(above), false);
      for (int k = n - 3; k >= 1; --k) {
        const T nu_k = SquaredRatio(m.n[k + 1], m.n[k]);
        const C w{alpha[k].re * m.l[k], alpha[k].im * m.l[k]};
        const C t = CMul(d_alpha(k), beta);
        const C r = CMul(Scale(nu_k, d_alpha(k + 1)), gamma);
        beta = CCoshSinhComb(t, w, r);
        gamma = CCoshSinhComb(r, w, t);
      }
      b = CMul(d_alpha(0), beta);
      c = CMul(Scale(SquaredRatio(m.n[1], m.n[0]), d_alpha(1)), gamma);
    }
    const T top = m.l[0] + m.zb_top;
    const C q = CCoshSinhComb(b, C{top * alpha[0].re, top * alpha[0].im}, c);
    const C k = CDiv(C{b.re - c.re, b.im - c.im}, q);
    const T source = m.z0 + m.zb_top;
    C depth_factor = CMul(CSinh(C{source * alpha[0].re, source * alpha[0].im}),
                          CCosh(C{alpha[0].re * m.zb_top, alpha[0].im * m.zb_top}));
    depth_factor = CMul(depth_factor, CExp(-alpha[0].re * top, -alpha[0].im * top));
    const C f = CMul(k, depth_factor);
    h = {h.re + f.re, h.im + f.im};
  }
  const T kernel = T{0.15915494309189533577L} * s;
  return {kernel * h.re, kernel * h.im};
}

void Replay(const DerivedModel& model, std::span<const long double> rhos, long double omega) {
  constexpr long double kSpeedOfLight = 2.99792458e11L;
  Traced m;
  for (int k = 0; k < model.LayerCount(); ++k) {
    m.mua.push_back({model.Mua[k]});
    m.D.push_back({model.DiffCoef[k]});
    m.l.push_back({model.Thickness[k]});
    m.n.push_back({model.RefrIndex[k]});
    m.omega_term.push_back(T{omega} / ((T{model.DiffCoef[k]} * T{kSpeedOfLight}) / T{model.RefrIndex[k]}));
  }
  m.z0 = {model.Z0};
  m.zb_top = {model.ZbTop};
  m.zb_bottom = {model.ZbBottom};

  const T upper = T{30.0L} * T{model.Musp[0]};
  const T c = (upper + T{0.0L}) * T{0.5L};
  const T d = (upper - T{0.0L}) * T{0.5L};
  std::vector<C> sums(rhos.size(), C{T{0.0L}, T{0.0L}});
  auto add_point = [&](T s, T w) {
    const C value = KernelTimesSolution(m, s);
    for (std::size_t r = 0; r < rhos.size(); ++r) {
      const T j0 = BesselJ0(T{rhos[r]}, s);
      sums[r] = {sums[r].re + (j0 * value.re) * w, sums[r].im + (j0 * value.im) * w};
    }
  };
  for (int i = 0; i < 480; ++i) {
    const T t = d * T{static_cast<long double>(Abscissa960[i])};
    const T w{static_cast<long double>(Weight960[i])};
    add_point(c + t, w);
    add_point(c - t, w);
  }
  for (const C& sum : sums) static_cast<void>(Scale(d, sum));
}

}  // namespace

FaultKind LocateFirstFault(const DerivedModel& model, std::span<const long double> rhos, long double omega) {
  // The replay follows the window's formulas, whose faults name the run's messages. A fault of
  // the library's form (a parameter far outside physical values) keeps the ranked flag.
  if (model.Form != SolutionForm::kWindow) return FaultKind::kNone;
  try {
    Replay(model, rhos, omega);
  } catch (const FirstFault& first) {
    return first.fault;
  }
  return FaultKind::kNone;
}

}  // namespace nlayer
