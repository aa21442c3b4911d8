#include "core/fast/fast_derivatives.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>

#include "core/accuracy.h"
#include "core/fast/fast_kernel.h"
#include "core/fast/fast_setup.h"
#include "core/number_text.h"
#include "core/spectrum.h"

#include <specialfunctions.h>

namespace nlayer {

namespace {

constexpr long double kInverseTwoPi = 0.15915494309189533577L;

fast::DerivativeModel DerivativeFactors(const DerivedModel& model, const LayerTerms& terms) {
  const std::size_t n = model.DiffCoef.size();
  fast::DerivativeModel dm;
  dm.x_per_mua.resize(n);
  dm.x_per_musp.resize(n);
  dm.inverse_musp.resize(n);
  for (std::size_t k = 0; k < n; ++k) {
    // D = 1 / (3 mus'): mua / D = 3 mua mus' and omega n / (c D) grow in proportion to mus'.
    dm.x_per_mua[k] = static_cast<double>(1.0L / model.DiffCoef[k]);
    dm.x_per_musp[k] = static_cast<double>(terms.MuaOverD[k] / model.Musp[k]);
    dm.inverse_musp[k] = static_cast<double>(1.0L / model.Musp[k]);
  }
  dm.z0_per_coefficient = static_cast<double>(-model.Z0 * model.Z0);
  dm.zb_top_per_musp = static_cast<double>(-model.ZbTop / model.Musp[0]);
  dm.zb_bottom_per_musp = static_cast<double>(-model.ZbBottom / model.Musp[n - 1]);
  return dm;
}

// A worker's rows of point values and derivatives: 2 (2 + 2N) rows of kPaddedPoints, 64-byte
// aligned.
struct DerivativeRows {
  std::unique_ptr<fast::PaddedRow[]> rows;
  explicit DerivativeRows(std::size_t blocks) : rows(new fast::PaddedRow[2 * blocks]) {}
  double* data() { return rows[0].v; }
  double* Re(std::size_t block) { return rows[2 * block].v; }
  double* Im(std::size_t block) { return rows[2 * block + 1].v; }
};

}  // namespace

std::optional<SpectrumJacobian> ComputeSpectrumDerivativesFast(const DerivedModel& model,
                                                               std::span<const long double> rhos,
                                                               std::span<const long double> omegas, unsigned threads,
                                                               std::stop_token stop) {
  const std::size_t layers = model.DiffCoef.size();
  SpectrumJacobian result;
  result.distances = rhos.size();
  result.frequencies = omegas.size();
  result.parameters = 2 * layers;
  result.values.assign(rhos.size() * omegas.size(), ComplexExt{});
  result.derivatives.assign(result.parameters * rhos.size() * omegas.size(), {});
  if (omegas.empty() || rhos.empty()) return result;
  if (layers > static_cast<std::size_t>(fast::kMaxDerivativeLayers)) return std::nullopt;
  fast::FastSetup setup;
  if (!fast::PrepareFast(model, rhos, omegas, setup)) return std::nullopt;
  result.plans = setup.plans;
  const fast::DerivativeModel factors = DerivativeFactors(model, setup.terms);
  const std::size_t parameters = result.parameters;
  const std::size_t distances = rhos.size();
  const std::size_t frequencies = omegas.size();
  // The rule's points are multiples of mus' of the top layer: moving with it, they add to the
  // transform's derivative by it (1 / mus') Q((s g)'), g = s J0(rho s) V(s) / (2 pi) the
  // integrand and Q the rule, where (s g)' = s J0 (2 V + 2 s^2 dV/ds^2) / (2 pi) - s^2 rho J1 V
  // / (2 pi). The integral of (s g)' is U g(U), the integrand at the rule's end U, some e^-30 of
  // its start; yet where the derivative is small (long distances, high frequencies) the term
  // reaches 1e-4 of it. The rule's own sum is what central differences of either engine see,
  // and what a fit sees. Per panel and distance, the rule's weights times
  // s^2 rho J1(rho s) / (2 pi), with J1 formed as the plan forms J0.
  std::vector<std::vector<fast::PaddedRow>> j1_weights(setup.panels.size());
  for (std::size_t i = 0; i < setup.panels.size(); ++i) {
    const fast::FastPanel& panel = setup.panels[i];
    const RunTables& tables = *panel.tables;
    j1_weights[i].resize(panel.group->rhos.size());
    for (std::size_t r = 0; r < panel.group->rhos.size(); ++r) {
      const long double rho = panel.group->rhos[r];
      double* const row = j1_weights[i][r].v;
      std::fill(row, row + fast::kPaddedPoints, 0.0);
      for (std::size_t p = 0; p < 960; ++p) {
        const std::size_t point = static_cast<std::size_t>(panel.order[p]);
        const long double s = tables.rule.s[point];
        const long double j1 =
            panel.group->plans[r].ExtendedBessel() ? j1l(rho * s) : alglib::besselj1(static_cast<double>(rho * s));
        row[p] = static_cast<double>(tables.rule.w[point / 2] * tables.rule.d * kInverseTwoPi * s * s * rho * j1);
      }
    }
  }
  const long double inverse_top_musp = 1.0L / model.Musp[0];

  // The fast engine's frequency loop, each frequency's derivatives after its values, by the same
  // code whichever worker takes it.
  const int count = static_cast<int>(omegas.size());
  std::atomic<int> next{0};
  std::atomic<bool> failed{false};
  auto worker = [&] {
    fast::FrequencyScratch scratch;
    DerivativeRows rows(2 + parameters);
    std::vector<ComplexExt> values(distances);
    std::vector<ComplexExt> sums(parameters * distances);
    std::vector<double> block_sums(2 * parameters + 2), j1_sums(2);
    for (int k = next++; k < count && !failed.load(std::memory_order_relaxed); k = next++) {
      if (stop.stop_requested()) break;
      if (!fast::FastFrequency(model, setup, omegas[k], scratch, values.data())) failed = true;
      const DistanceGroup* group = nullptr;
      for (std::size_t i = 0; i < setup.panels.size(); ++i) {
        const fast::FastPanel& panel = setup.panels[i];
        const bool first_panel = panel.group != group;
        group = panel.group;
        fast::EvaluateDerivatives(panel.kernel, factors, scratch.omega_terms.data(), rows.data());
        for (std::size_t r = 0; r < group->rhos.size(); ++r) {
          // The derivatives and the points' move, then the J1 part of the move.
          fast::BlockSums(panel.weights_hi[r].v, rows.Re(1), parameters + 1, block_sums.data());
          fast::BlockSums(j1_weights[i][r].v, rows.Re(0), 1, j1_sums.data());
          block_sums[2] += static_cast<double>(
              inverse_top_musp * (static_cast<long double>(block_sums[2 * parameters]) - j1_sums[0]));
          block_sums[3] += static_cast<double>(
              inverse_top_musp * (static_cast<long double>(block_sums[2 * parameters + 1]) - j1_sums[1]));
          for (std::size_t j = 0; j < parameters; ++j) {
            ComplexExt& sum = sums[j * distances + group->index[r]];
            const long double re = block_sums[2 * j], im = block_sums[2 * j + 1];
            sum = first_panel ? ComplexExt{re, im} : ComplexExt{sum.re + re, sum.im + im};
          }
        }
      }
      for (std::size_t r = 0; r < distances; ++r) {
        result.values[r * frequencies + static_cast<std::size_t>(k)] = values[r];
        for (std::size_t j = 0; j < parameters; ++j) {
          const ComplexExt& sum = sums[j * distances + r];
          // A non-finite point makes its sums non-finite: one test per sum covers them all.
          if (!std::isfinite(sum.re) || !std::isfinite(sum.im)) failed = true;
          result.derivatives[(j * distances + r) * frequencies + static_cast<std::size_t>(k)] = {
              static_cast<double>(sum.re), static_cast<double>(sum.im)};
        }
      }
    }
  };
  RunWorkers(threads, count, worker);
  if (stop.stop_requested()) throw Cancelled();
  if (failed) return std::nullopt;
  return result;
}

std::optional<FrequencyJacobian> FrequencyDomainDerivatives(const Medium& medium,
                                                            const std::vector<long double>& rho_mm,
                                                            const std::vector<double>& f_hz,
                                                            const ComputeOptions& options) {
  // FrequencyDomain's checks, in its order and with its messages.
  const std::vector<long double> omegas = CheckedFrequencyRequest(medium, rho_mm, f_hz);
  FrequencyJacobian jacobian;
  jacobian.spectra.f_hz = f_hz;
  jacobian.spectra.rho_mm = rho_mm;
  jacobian.parameters = 2 * medium.layers.size();
  if (f_hz.empty()) return jacobian;
  const DerivedModel model = DeriveChecked(medium);

  std::optional<SpectrumJacobian> computed =
      ComputeSpectrumDerivativesFast(model, rho_mm, omegas, options.threads, options.stop);
  if (!computed) return std::nullopt;
  FrequencySpectra& spectra = jacobian.spectra;
  spectra.rounding.resize(rho_mm.size());
  for (std::size_t r = 0; r < rho_mm.size(); ++r) {
    const TransformPlan& plan = computed->plans[r];
    if (auto problem = ValueAccuracyProblem(model, rho_mm[r], plan)) throw InvalidRequest(*problem);
    spectra.rounding[r] = plan.measured ? static_cast<double>(plan.ValueError()) : std::nan("");
  }
  spectra.values.resize(rho_mm.size() * f_hz.size());
  for (std::size_t i = 0; i < spectra.values.size(); ++i) {
    spectra.values[i] = {static_cast<double>(computed->values[i].re), static_cast<double>(computed->values[i].im)};
  }
  jacobian.derivatives = std::move(computed->derivatives);
  return jacobian;
}

}  // namespace nlayer
