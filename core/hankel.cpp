#include "core/hankel.h"

#include "core/fp_guard.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include <specialfunctions.h>

namespace nlayer {

HankelRule MapHankelRule(long double lower, long double upper, bool extended) {
  HankelRule rule;
  rule.c = (upper + lower) * 0.5L;
  rule.d = (upper - lower) * 0.5L;
  for (int i = 0; i < 480; ++i) {
    rule.w[i] = extended ? Weight960Ext[i] : static_cast<long double>(Weight960[i]);
    const long double t = rule.d * (extended ? Abscissa960Ext[i] : static_cast<long double>(Abscissa960[i]));
    rule.s[2 * i] = rule.c + t;
    rule.s[2 * i + 1] = rule.c - t;
  }
  return rule;
}

namespace {

// Measured: up to 2.9e-15 (single rule) and 1.0e-18 (extended panels) of the largest error of a
// curve over the sum of its terms' magnitudes, against a reference with four times the panels
// (half-spaces and the four-layer head, 10 to 150 mm); and the magnitudes vary by 10 % over
// the frequencies.
constexpr long double kSingleRuleTermError = 1e-14L;
constexpr long double kExtendedTermError = 2e-18L;
constexpr long double kSpectrumSpread = 1.25L;

// The layered solution (times the kernel, real part) at frequency 0 at the points of one panel
// of a rule, for every distance whose rule holds that panel, and the fault its evaluation
// raised.
struct ZeroPanel {
  HankelRule rule;
  std::array<long double, 960> values{};
  FaultKind fault = FaultKind::kNone;
};

void EvaluatePanelAtZero(const DerivedModel& model, const HankelPlan& plan, int panel, ZeroPanel& out) {
  out.fault = RunChecked([&] {
    FrequencyContext context;
    context.Resize(model.DiffCoef.size(), 1);
    SetFrequency(0.0L, model, context);
    out.rule = PanelOf(plan, panel);
    LayerTerms layers;
    ComputeLayerTerms(model, layers);
    for (int p = 0; p < 960; ++p) {
      out.values[p] = KernelTimesSolution(model, MakeSpatialPoint(out.rule.s[p]), layers, context).re;
    }
  });
}

// A distance's plan on its way through the panels of its rule: the sums so far and whether any
// evaluation it used faulted.
struct PlanInProgress {
  TransformPlan out;
  bool faulted = false;
};

void StartPlan(const HankelPlan& plan, PlanInProgress& progress) {
  progress.out = TransformPlan{};
  progress.out.plan = plan;
  progress.faulted = false;
}

// Adds the terms of `panel` at `rho` to the plan's sums, each term rounded before it is added,
// the half-width applied to the panel's sum; after the rule's last panel, the truncation.
void AddPanel(const DerivedModel& model, long double rho, const ZeroPanel& panel, bool last, PlanInProgress& progress) {
  TransformPlan& out = progress.out;
  const FaultKind fault = RunChecked([&] {
    long double sum = 0, magnitude = 0;
    for (int p = 0; p < 960; ++p) {
      const long double j0 = RuleBesselFactor(out.plan, rho, panel.rule.s[p]);
      const long double term = j0 * panel.values[p] * panel.rule.w[p / 2];
      sum += term;
      magnitude += std::fabs(term);
    }
    out.cw += panel.rule.d * sum;
    out.magnitude += panel.rule.d * magnitude;
    if (!last) return;
    // The rule's outermost node, the first of its last pair, stands in for U.
    const long double outermost = panel.values[958];
    const long double s = panel.rule.s[958];
    const long double envelope = std::min(1.0L, std::sqrt(2.0L / (3.14159265358979323846L * rho * s)));
    // J0's oscillation cuts the tail to about its value over rho where rho exceeds z0.
    out.truncation = 2.0L * std::fabs(outermost) * envelope / std::max(rho, model.Z0);
  });
  progress.faulted = progress.faulted || fault != FaultKind::kNone || panel.fault != FaultKind::kNone;
  if (last) {
    out.measured = !progress.faulted && std::isfinite(out.cw) && std::isfinite(out.magnitude) &&
                   std::isfinite(out.truncation);
  }
}

std::vector<TransformPlan> Finished(const std::vector<PlanInProgress>& plans) {
  std::vector<TransformPlan> out;
  out.reserve(plans.size());
  for (const PlanInProgress& progress : plans) out.push_back(progress.out);
  return out;
}

}  // namespace

HankelPlan SingleRule(long double musp) {
  // Spatial frequencies beyond 30 mus' carry nothing a detector at a few millimetres sees.
  return HankelPlan{30.0L * musp, 1, false};
}

HankelPlan PanelRule(long double rho, long double musp) {
  HankelPlan plan{40.0L * musp, 1, true};
  const long double periods = rho * plan.upper / (2.0L * 3.14159265358979323846L);
  const long double panels = std::ceil(periods / kPeriodsPerPanel);
  plan.panels = static_cast<int>(std::clamp(panels, 1.0L, 64.0L));
  return plan;
}

bool SameNodes(const HankelPlan& a, const HankelPlan& b) {
  return a.upper == b.upper && a.panels == b.panels && a.extended == b.extended;
}

long double TransformPlan::RoundingError() const {
  return (plan.ExtendedBessel() ? kExtendedTermError : kSingleRuleTermError) * kSpectrumSpread * magnitude;
}

long double TransformPlan::ValueError() const { return RoundingError() + kSpectrumSpread * truncation; }

TransformPlan PlanTransform(const DerivedModel& model, long double rho) {
  return PlanTransforms(model, std::span<const long double>(&rho, 1)).front();
}

namespace {

bool AboveSingleRuleKappa(const TransformPlan& plan) {
  return plan.magnitude > kSingleRuleKappa * std::fabs(plan.cw);
}

// Adds the terms of every panel of `plan` to the plans of the distances `which`.
void AddPanels(const DerivedModel& model, std::span<const long double> rhos, const HankelPlan& plan,
               const std::vector<std::size_t>& which, std::vector<PlanInProgress>& plans) {
  auto panel = std::make_unique<ZeroPanel>();  // some 40 kB, off the caller's stack
  for (int p = 0; p < plan.panels; ++p) {
    EvaluatePanelAtZero(model, plan, p, *panel);
    for (std::size_t r : which) AddPanel(model, rhos[r], *panel, p + 1 == plan.panels, plans[r]);
  }
}

}  // namespace

std::vector<TransformPlan> PlanTransforms(const DerivedModel& model, std::span<const long double> rhos) {
  const long double musp = model.Musp[0];
  std::vector<PlanInProgress> plans(rhos.size());
  // A model without physical meaning (the window runs one as it is) keeps the window's rule.
  std::vector<std::size_t> rated;
  bool beyond_single = false;  // whether a distance lies past the single rule's reach
  for (std::size_t r = 0; r < rhos.size(); ++r) {
    StartPlan(SingleRule(musp), plans[r]);
    if (!(rhos[r] > 0) || !(musp > 0) || !std::isfinite(rhos[r] * musp)) continue;
    rated.push_back(r);
    beyond_single = beyond_single || rhos[r] * musp > kSingleRuleLimit;
  }
  if (!beyond_single && !rated.empty()) {
    auto single = std::make_unique<ZeroPanel>();
    EvaluatePanelAtZero(model, SingleRule(musp), 0, *single);
    std::vector<std::size_t> kept;
    for (std::size_t r : rated) {
      AddPanel(model, rhos[r], *single, true, plans[r]);
      // Where frequency 0 faults, the frequencies will name the fault; the window's rule stays.
      if (plans[r].out.measured) kept.push_back(r);
      beyond_single = beyond_single || (plans[r].out.measured && AboveSingleRuleKappa(plans[r].out));
    }
    rated = std::move(kept);
  }
  if (!beyond_single) return Finished(plans);
  // One panel rule for the whole call, the longest distance's, which resolves J0 for every
  // shorter one: the layered solution is then evaluated on its nodes alone, where the single
  // rule beside them would add half again to the work of a long distance. A distance the single
  // rule would serve alone keeps the window's Bessel factor, a tenth of the extended one's
  // cost, and its rounding; the cancellation that decides it is that of the panels.
  long double longest = 0;
  for (std::size_t r : rated) longest = std::max(longest, rhos[r]);
  const HankelPlan plan = PanelRule(longest, musp);
  for (std::size_t r : rated) {
    HankelPlan own = plan;
    own.window_bessel = rhos[r] * musp <= kSingleRuleLimit &&
                        !(plans[r].out.measured && AboveSingleRuleKappa(plans[r].out));
    StartPlan(own, plans[r]);
  }
  AddPanels(model, rhos, plan, rated, plans);
  std::vector<std::size_t> cancelling;
  for (std::size_t r : rated) {
    if (!plans[r].out.plan.window_bessel || !plans[r].out.measured || !AboveSingleRuleKappa(plans[r].out)) continue;
    StartPlan(plan, plans[r]);
    cancelling.push_back(r);
  }
  if (!cancelling.empty()) AddPanels(model, rhos, plan, cancelling, plans);
  return Finished(plans);
}

long double ExtendedBesselJ0(long double x) { return j0l(x); }

HankelRule PanelOf(const HankelPlan& plan, int panel) {
  const long double width = plan.upper / static_cast<long double>(plan.panels);
  const long double lower = panel == 0 ? 0.0L : width * static_cast<long double>(panel);
  const long double upper = panel + 1 == plan.panels ? plan.upper : width * static_cast<long double>(panel + 1);
  return MapHankelRule(lower, upper, plan.extended);
}

long double RuleBesselFactor(const HankelPlan& plan, long double rho, long double s) {
  return plan.ExtendedBessel() ? ExtendedBesselJ0(rho * s) : BesselFactor(s, rho);
}

void BuildRunTables(const DerivedModel& model, std::span<const long double> rhos, std::span<const HankelPlan> plans,
                    int panel, RunTables& tables) {
  tables.rule = PanelOf(plans.front(), panel);
  for (int p = 0; p < 960; ++p) tables.points[p] = MakeSpatialPoint(tables.rule.s[p]);
  tables.distances = rhos.size();
  tables.j0.resize(rhos.size() * 960);
  for (std::size_t r = 0; r < rhos.size(); ++r) {
    for (int p = 0; p < 960; ++p) tables.j0[r * 960 + p] = RuleBesselFactor(plans[r], rhos[r], tables.rule.s[p]);
  }
  ComputeLayerTerms(model, tables.layers);
}

void BuildRunTables(const DerivedModel& model, std::span<const long double> rhos, const HankelPlan& plan, int panel,
                    RunTables& tables) {
  const std::vector<HankelPlan> plans(std::max<std::size_t>(rhos.size(), 1), plan);
  BuildRunTables(model, rhos, plans, panel, tables);
}

void BuildRunTables(const DerivedModel& model, std::span<const long double> rhos, RunTables& tables) {
  BuildRunTables(model, rhos, SingleRule(model.Musp[0]), 0, tables);
}

namespace {

// Adds one point's weighted integrand to every distance's running sum, each weighted value
// rounded to extended before it is added.
inline void AccumulatePoint(const RunTables& tables, int p, const ComplexExt& value, long double w,
                            FrequencyContext& context) {
  const std::size_t distances = tables.distances;
  for (std::size_t r = 0; r < distances; ++r) {
    const ComplexExt v = ApplyBesselFactor(tables.j0[r * 960 + p], value);
    ComplexExt& sum = context.Refl[r];
    sum.re = sum.re + v.re * w;
    sum.im = sum.im + v.im * w;
  }
}

}  // namespace

void RadialReflectance(const DerivedModel& model, const RunTables& tables, FrequencyContext& context) {
  // The order of SumHankelRule, kept for every distance.
  for (std::size_t r = 0; r < tables.distances; ++r) context.Refl[r] = {0.0L, 0.0L};
  for (int i = 0; i < 480; ++i) {
    const long double w = tables.rule.w[i];
    const ComplexExt right = KernelTimesSolution(model, tables.points[2 * i], tables.layers, context);
    AccumulatePoint(tables, 2 * i, right, w, context);
    const ComplexExt left = KernelTimesSolution(model, tables.points[2 * i + 1], tables.layers, context);
    AccumulatePoint(tables, 2 * i + 1, left, w, context);
  }
  for (std::size_t r = 0; r < tables.distances; ++r) {
    ComplexExt& sum = context.Refl[r];
    sum = {tables.rule.d * sum.re, tables.rule.d * sum.im};
  }
  if (tables.distances > 0) {
    context.ReflRe = context.Refl[0].re;
    context.ReflIm = context.Refl[0].im;
  }
}

void RadialReflectance(const DerivedModel& model, long double rho, FrequencyContext& context) {
  const auto tables = std::make_unique<RunTables>();
  BuildRunTables(model, std::span<const long double>(&rho, 1), *tables);
  context.Resize(model.DiffCoef.size(), 1);
  RadialReflectance(model, *tables, context);
}

}  // namespace nlayer
