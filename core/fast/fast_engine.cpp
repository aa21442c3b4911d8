#include "core/fast/fast_engine.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <complex>
#include <limits>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

#include "core/fast/fast_kernel.h"
#include "core/fast/fast_setup.h"
#include "core/hankel.h"

namespace nlayer {

namespace fast {

long double OmegaTerm(long double omega, const DerivedModel& m, std::size_t j) {
  constexpr long double kSpeedOfLight = 2.99792458e11L;  // mm/s, as in the layered solution
  return omega / ((m.DiffCoef[j] * kSpeedOfLight) / m.RefrIndex[j]);
}

}  // namespace fast

namespace {

using fast::FastPanel;
using fast::OmegaTerm;
using fast::PaddedRow;

constexpr long double kInverseTwoPi = 0.15915494309189533577L;

// Magnitudes the double evaluation keeps well inside its range: squares of decay constants
// stay normal (no subnormal loss in the modulus of a square root) and finite.
constexpr long double kLargestParameter = 1e40L;
constexpr long double kSmallestScale = 1e-40L;
constexpr long double kLargestSquare = 1e140L;
constexpr long double kSmallestSquare = 1e-140L;
// The recursion carries (beta, gamma) scaled by the exponential growth but not by the factors
// a_k D_k of the layers; as long as their logarithms add up to less than this the pair stays
// far from the double range's ends.
constexpr long double kLargestFactorLog = 500.0L;
// The kernel's stand-in for an infinite bottom layer (or one beyond the doubles' range), mm: every
// decay constant's real part is at least 1e-70 here, so e^(-2 a d) is far below 2^-64 and is never
// formed, while products with it stay finite (0 times infinity would be a NaN).
constexpr long double kDeepestBottom = 1e300L;

using ComplexLd = std::complex<long double>;

ComplexLd DecayConstant(long double s, long double mua_over_d, long double omega_term) {
  return std::sqrt(ComplexLd(s * s + mua_over_d, omega_term));
}

bool Moderate(long double v) { return std::isfinite(v) && std::fabs(v) <= kLargestParameter; }
bool ModerateScale(long double v) { return Moderate(v) && std::fabs(v) >= kSmallestScale; }

// The sum over the layer boundaries of ln(|a_k| D_k + nu_(k+1) |a_(k+1)| D_(k+1)), the bound of
// what one step of the recursion multiplies (beta, gamma) by, at spatial frequency s and
// angular frequency omega; `positive_only` drops the steps that shrink the pair.
long double FactorLogs(const DerivedModel& m, const LayerTerms& terms, long double s, long double omega,
                       bool positive_only, long double* absolute_sum) {
  long double sum = 0, abs_sum = 0;
  for (std::size_t k = 0; k + 1 < m.DiffCoef.size(); ++k) {
    const long double upper = std::abs(DecayConstant(s, terms.MuaOverD[k], OmegaTerm(omega, m, k))) * m.DiffCoef[k];
    const long double lower =
        terms.Nu[k + 1] * std::abs(DecayConstant(s, terms.MuaOverD[k + 1], OmegaTerm(omega, m, k + 1))) * m.DiffCoef[k + 1];
    const long double f = std::log(upper + lower);
    sum += positive_only ? std::max(f, 0.0L) : f;
    abs_sum += std::fabs(f);
  }
  if (absolute_sum != nullptr) *absolute_sum = abs_sum;
  return sum;
}

// Whether the double evaluation suits this request: every parameter within moderate bounds
// (the bottom layer's thickness may be anything, infinity included), and the factors of the
// layer boundaries, which the scaled recursion carries, far from the double range's ends. The
// thickness of the stack does not count: the kernel forms no growing exponential, and neither
// does the extended engine's library form, which the caller falls back on.
bool SuitsDoubles(const DerivedModel& m, const LayerTerms& terms, long double s_lowest, long double s_highest,
                  long double omega_max) {
  const std::size_t n = m.DiffCoef.size();
  for (std::size_t k = 0; k < n; ++k) {
    if (!ModerateScale(m.Musp[k]) || !ModerateScale(m.DiffCoef[k]) || !ModerateScale(m.RefrIndex[k]) ||
        !Moderate(m.Mua[k]) || !Moderate(terms.MuaOverD[k]) || (k + 1 < n && !Moderate(m.Thickness[k])) ||
        (n >= 2 && k + 1 == n && !(m.Thickness[k] > 0))) {
      return false;
    }
  }
  if (!ModerateScale(m.Z0) || !ModerateScale(m.ZbTop) || !ModerateScale(m.ZbBottom)) return false;
  const long double* const s_min = &s_lowest;
  const long double* const s_max = &s_highest;
  for (std::size_t k = 0; k < n; ++k) {
    const long double smallest = *s_min * *s_min + terms.MuaOverD[k];
    const long double largest = *s_max * *s_max + terms.MuaOverD[k];
    const long double omega_term = OmegaTerm(omega_max, m, k);
    if (!(smallest >= kSmallestSquare && largest <= kLargestSquare && omega_term <= kLargestSquare)) return false;
  }
  if (n == 1) return true;

  long double spread_low = 0, spread_high = 0;
  FactorLogs(m, terms, *s_min, 0.0L, false, &spread_low);
  FactorLogs(m, terms, *s_max, omega_max, true, &spread_high);
  return spread_low <= kLargestFactorLog && spread_high <= kLargestFactorLog;
}

fast::Split SplitOf(long double v) {
  const double hi = static_cast<double>(v);
  return {hi, static_cast<double>(v - hi)};
}

// The points of a panel in increasing s, so that the vectors of points far out, where the top
// layer's correction is negligible next to the half-space term and the kernel takes its short
// way, hold no point near s = 0; and per distance the weight of each point in the sum: the
// rule's weight and half-width, the kernel s / (2 pi) and the Bessel factor, formed in
// extended and split.
void PreparePanel(const fast::KernelModel& common, FastPanel& panel) {
  const RunTables& tables = *panel.tables;
  std::array<int, 960>& order = panel.order;
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](int a, int b) { return tables.rule.s[a] < tables.rule.s[b]; });
  for (std::size_t p = 0; p < fast::kPaddedPoints; ++p) {
    const std::size_t i = static_cast<std::size_t>(order[std::min<std::size_t>(p, 959)]);
    const long double s = tables.rule.s[i];
    const fast::Split s2 = SplitOf(s * s);
    panel.s2_hi->v[p] = s2.hi;
    panel.s2_lo->v[p] = s2.lo;
    panel.magnitude->v[p] = p < 960 ? static_cast<double>(std::fabs(tables.rule.w[i / 2] * tables.rule.d * kInverseTwoPi * s)) : 0.0;
    // The padding's weight is 0: no logarithm of it, which would raise division by zero.
    panel.log_magnitude->v[p] = p < 960 ? std::log(4.0 * panel.magnitude->v[p]) : -std::numeric_limits<double>::infinity();
  }
  const std::size_t distances = tables.distances;
  panel.weights_hi.resize(distances);
  panel.weights_lo.resize(distances);
  for (std::size_t r = 0; r < distances; ++r) {
    std::fill(std::begin(panel.weights_hi[r].v), std::end(panel.weights_hi[r].v), 0.0);
    std::fill(std::begin(panel.weights_lo[r].v), std::end(panel.weights_lo[r].v), 0.0);
    for (std::size_t p = 0; p < 960; ++p) {
      const std::size_t i = static_cast<std::size_t>(order[p]);
      const long double w = tables.rule.w[i / 2] * tables.rule.d;
      const fast::Split weight = SplitOf(w * (kInverseTwoPi * tables.rule.s[i]) * tables.j0[r * 960 + i]);
      panel.weights_hi[r].v[p] = weight.hi;
      panel.weights_lo[r].v[p] = weight.lo;
    }
  }
  panel.kernel = common;
  panel.kernel.s2_hi = panel.s2_hi->v;
  panel.kernel.s2_lo = panel.s2_lo->v;
  panel.kernel.magnitude = panel.magnitude->v;
  panel.kernel.log_magnitude = panel.log_magnitude->v;
}

}  // namespace

namespace fast {

bool PrepareFast(const DerivedModel& model, std::span<const long double> rhos, std::span<const long double> omegas,
                 FastSetup& setup) {
  const std::size_t layers = model.DiffCoef.size();
  setup.layers = layers;
  if (layers == 0) return false;
  LayerTerms& terms = setup.terms;
  ComputeLayerTerms(model, terms);
  setup.plans = PlanDistances(model, rhos);
  setup.groups = GroupByPlan(setup.plans, rhos);
  long double s_lowest = std::numeric_limits<long double>::infinity(), s_highest = 0;
  for (const DistanceGroup& group : setup.groups) {
    // The rule's outermost points lie in its first and last panel.
    const long double width = group.nodes().upper / static_cast<long double>(group.nodes().panels);
    const HankelRule first = MapHankelRule(0.0L, group.nodes().panels == 1 ? group.nodes().upper : width, group.nodes().extended);
    const HankelRule last = MapHankelRule(group.nodes().panels == 1 ? 0.0L : width * static_cast<long double>(group.nodes().panels - 1),
                                          group.nodes().upper, group.nodes().extended);
    s_lowest = std::min(s_lowest, *std::min_element(first.s.begin(), first.s.end()));
    s_highest = std::max(s_highest, *std::max_element(last.s.begin(), last.s.end()));
  }
  const long double omega_max = *std::max_element(omegas.begin(), omegas.end());
  if (!(omega_max >= 0) || !SuitsDoubles(model, terms, s_lowest, s_highest, omega_max)) return false;

  KernelModel common;
  common.layers = static_cast<int>(layers);
  common.screen_depth = static_cast<double>(
      layers == 1 ? model.Z0 : std::max(0.0L, std::min(model.Z0, 2.0L * model.Thickness[0] - model.Z0)));
  common.mua_over_d.resize(layers);
  common.diff_coef.resize(layers);
  common.nu_diff_coef.assign(layers, 0.0);
  common.twice_depth.assign(layers, 0.0);
  for (std::size_t k = 0; k < layers; ++k) {
    common.mua_over_d[k] = static_cast<double>(terms.MuaOverD[k]);
    common.diff_coef[k] = static_cast<double>(model.DiffCoef[k]);
    if (k >= 1) common.nu_diff_coef[k] = static_cast<double>(terms.Nu[k] * model.DiffCoef[k]);
    const long double depth = k + 1 == layers ? model.Thickness[k] + model.ZbBottom : model.Thickness[k];
    common.twice_depth[k] = static_cast<double>(std::min(2.0L * depth, kDeepestBottom));
  }
  common.mua_over_d_step.assign(layers, 0.0);
  common.diff_coef_step.assign(layers, 0.0);
  for (std::size_t k = 0; k + 1 < layers; ++k) {
    common.mua_over_d_step[k] = static_cast<double>(terms.MuaOverD[k] - terms.MuaOverD[k + 1]);
    common.diff_coef_step[k] = static_cast<double>(model.DiffCoef[k] - terms.Nu[k + 1] * model.DiffCoef[k + 1]);
  }
  common.top_mua_over_d = SplitOf(terms.MuaOverD[0]);
  common.z0 = SplitOf(model.Z0);
  common.twice_zb = SplitOf(2.0L * model.ZbTop);
  common.twice_top_minus_z0 = SplitOf(2.0L * model.Thickness[0] - model.Z0);
  common.exp2_table = Exp2Table();
  common.sincos_table = SinCosTable();

  for (const DistanceGroup& group : setup.groups) {
    for (int p = 0; p < group.nodes().panels; ++p) {
      FastPanel& panel = setup.panels.emplace_back();
      panel.group = &group;
      BuildRunTables(model, group.rhos, group.plans, p, *panel.tables);
      PreparePanel(common, panel);
    }
  }
  return true;
}

bool FastFrequency(const DerivedModel& model, const FastSetup& setup, long double omega, FrequencyScratch& scratch,
                   ComplexExt* out) {
  const std::size_t layers = setup.layers;
  scratch.omega_terms.resize(layers);
  scratch.omega_term_steps.assign(layers, 0.0);
  for (std::size_t j = 0; j < layers; ++j) {
    scratch.omega_terms[j] = static_cast<double>(OmegaTerm(omega, model, j));
    if (j + 1 < layers) {
      scratch.omega_term_steps[j] = static_cast<double>(OmegaTerm(omega, model, j) - OmegaTerm(omega, model, j + 1));
    }
  }
  const PointValues values{scratch.re_hi.v, scratch.re_lo.v, scratch.im_hi.v, scratch.im_lo.v};
  bool finite = true;
  const DistanceGroup* group = nullptr;
  for (const FastPanel& panel : setup.panels) {
    const bool first_panel = panel.group != group;
    group = panel.group;
    EvaluateSolution(panel.kernel, scratch.omega_terms.data(), scratch.omega_term_steps.data(),
                     SplitOf(OmegaTerm(omega, model, 0)), values);
    for (std::size_t r = 0; r < group->rhos.size(); ++r) {
      long double sum_re, sum_im;
      WeightedSums(panel.weights_hi[r].v, panel.weights_lo[r].v, values, sum_re, sum_im);
      // A non-finite point makes its sums non-finite (0 times an infinity is a NaN too):
      // one test per sum covers all 960 points.
      if (!std::isfinite(sum_re) || !std::isfinite(sum_im)) finite = false;
      ComplexExt& sum = out[group->index[r]];
      sum = first_panel ? ComplexExt{sum_re, sum_im} : ComplexExt{sum.re + sum_re, sum.im + sum_im};
    }
  }
  return finite;
}

}  // namespace fast

std::optional<Spectrum> ComputeSpectrumFast(const DerivedModel& model, std::span<const long double> rhos,
                                            std::span<const long double> omegas, unsigned threads,
                                            std::stop_token stop) {
  Spectrum result = ZeroSpectrum(rhos.size(), omegas.size());
  if (omegas.empty() || rhos.empty()) return result;
  fast::FastSetup setup;
  if (!fast::PrepareFast(model, rhos, omegas, setup)) return std::nullopt;
  result.plans = setup.plans;

  // The frequency loop of core/spectrum.cpp: each frequency computed by the same code whichever
  // worker takes it, so the thread count changes nothing.
  const int count = static_cast<int>(omegas.size());
  std::atomic<int> next{0};
  std::atomic<bool> failed{false};
  auto worker = [&] {
    fast::FrequencyScratch scratch;
    for (int k = next++; k < count && !failed.load(std::memory_order_relaxed); k = next++) {
      if (stop.stop_requested()) break;
      ComplexExt* const out = result.values.data() + static_cast<std::size_t>(k) * rhos.size();
      if (!fast::FastFrequency(model, setup, omegas[k], scratch, out)) failed = true;
    }
  };
  RunWorkers(threads, count, worker);
  if (stop.stop_requested()) throw Cancelled();
  if (failed) return std::nullopt;
  return result;
}

}  // namespace nlayer
