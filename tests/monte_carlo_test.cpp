// The Monte Carlo simulation against values it does not compute itself: Chandrasekhar's
// H-function for the half-space, conservation of the photons, the Beer-Lambert law along the
// recorded paths, the diffusion model where it holds, and its independence of the threads.
// Photon counts are small; every statistical bound is 4 standard errors of the run.
#include "nlayer/monte_carlo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>
#include <vector>

namespace nlayer {
namespace {

Medium HalfSpace(long double musp, long double mua, long double n) { return Medium{{{musp, mua, n, 1.0L}}}; }

// Gauss-Legendre nodes and weights on (0, 1), by Newton's iteration on P_m.
void GaussLegendre(int m, std::vector<double>& x, std::vector<double>& w) {
  x.resize(m);
  w.resize(m);
  for (int i = 0; i < m; ++i) {
    double z = std::cos(std::numbers::pi * (i + 0.75) / (m + 0.5)), dp = 0;
    for (int it = 0; it < 100; ++it) {
      double p0 = 1, p1 = z;
      for (int k = 2; k <= m; ++k) {
        const double p2 = ((2 * k - 1) * z * p1 - (k - 1) * p0) / k;
        p0 = p1;
        p1 = p2;
      }
      dp = m * (z * p1 - p0) / (z * z - 1);
      const double step = p1 / dp;
      z -= step;
      if (std::fabs(step) < 1e-15) break;
    }
    x[i] = (1 - z) / 2;
    w[i] = 1 / ((1 - z * z) * dp * dp);
  }
}

// The albedo of a matched half-space of isotropic scatterers for normal incidence,
// 1 - H(1) sqrt(1 - omega) (Chandrasekhar, Radiative Transfer, 1950), with H from
// 1/H(mu) = sqrt(1 - omega) + omega/2 int_0^1 mu' H(mu') / (mu + mu') dmu'.
double ChandrasekharAlbedo(double omega) {
  std::vector<double> x, w;
  GaussLegendre(200, x, w);
  std::vector<double> h(x.size(), 1.0), next(x.size());
  auto integral = [&](double mu) {
    double sum = 0;
    for (std::size_t j = 0; j < x.size(); ++j) sum += w[j] * x[j] * h[j] / (mu + x[j]);
    return sum;
  };
  for (int it = 0; it < 2000; ++it) {
    for (std::size_t i = 0; i < x.size(); ++i) next[i] = 1 / (std::sqrt(1 - omega) + omega / 2 * integral(x[i]));
    h.swap(next);
  }
  const double h1 = 1 / (std::sqrt(1 - omega) + omega / 2 * integral(1.0));
  return 1 - h1 * std::sqrt(1 - omega);
}

TEST(MonteCarloTransport, HalfSpaceAlbedoIsChandrasekhars) {
  for (double omega : {0.5, 0.9, 0.99}) {
    // mus = 1 with g = 0, mua = 1/omega - 1.
    MonteCarloOptions options{.photons = 60'000, .g = {0.0}, .seed = 7};
    const MonteCarloCurves mc = MonteCarlo(HalfSpace(1.0L, 1.0L / omega - 1.0L, 1.0L), {5.0L}, {100.0, 1024}, options);
    const double expected = ChandrasekharAlbedo(omega);
    EXPECT_NEAR(mc.total_reflectance, expected, 4 * mc.total_reflectance_error) << "omega " << omega;
    EXPECT_LT(mc.total_reflectance_error, 0.01 * expected);
  }
}

// A slab of optical thickness b and albedo a with matched boundaries, isotropic scattering,
// lit normally: the density of collisions psi(tau) solves the depth-only integral equation
//   psi(tau) = exp(-tau) + a/2 int_0^b E1(|tau - tau'|) psi(tau') dtau'
// and R = a/2 int psi E2(tau), T = exp(-b) + a/2 int psi E2(b - tau). Solved here with psi
// constant on N cells and the kernel integrated exactly over each (E2' = -E1, E3' = -E2): a
// route through the transport equation that shares nothing with the photon tracking.
double ExpIntegral(int order, double x) {
  if (x == 0.0) return order == 2 ? 1.0 : 0.5;
  const double e1 = -std::expint(-x);
  const double e2 = std::exp(-x) - x * e1;
  return order == 2 ? e2 : (std::exp(-x) - x * e2) / 2;
}

void IsotropicSlab(double a, double b, double& reflection, double& transmission) {
  const int cells = 400;
  const double h = b / cells;
  std::vector<double> kernel(cells * cells), psi(cells), next(cells), source(cells);
  for (int i = 0; i < cells; ++i) {
    const double tau = (i + 0.5) * h;
    source[i] = std::exp(-tau);
    for (int j = 0; j < cells; ++j) {
      const double near = std::fabs(tau - (j + (j < i ? 1 : 0)) * h), far = near + h;
      kernel[i * cells + j] =
          a / 2 * (i == j ? 2 - 2 * ExpIntegral(2, h / 2) : ExpIntegral(2, near) - ExpIntegral(2, far));
    }
  }
  psi = source;
  for (int it = 0; it < 5000; ++it) {
    double change = 0;
    for (int i = 0; i < cells; ++i) {
      double sum = source[i];
      for (int j = 0; j < cells; ++j) sum += kernel[i * cells + j] * psi[j];
      next[i] = sum;
      change = std::max(change, std::fabs(sum - psi[i]));
    }
    psi.swap(next);
    if (change < 1e-13) break;
  }
  reflection = 0;
  transmission = std::exp(-b);
  for (int j = 0; j < cells; ++j) {
    reflection += a / 2 * psi[j] * (ExpIntegral(3, j * h) - ExpIntegral(3, (j + 1) * h));
    transmission += a / 2 * psi[j] * (ExpIntegral(3, b - (j + 1) * h) - ExpIntegral(3, b - j * h));
  }
}

// A slab of optical thickness b (mus + mua = 1/mm) as two equal layers of b/2 with the
// outside's index: the stack's finite bottom is where transmission leaves.
Medium MatchedSlab(double a, double b, double g) {
  const auto musp = static_cast<long double>(a * (1 - g)), mua = static_cast<long double>(1 - a);
  return Medium{{{musp, mua, 1.0L, b / 2}, {musp, mua, 1.0L, b / 2}}};
}

TEST(MonteCarloTransport, MatchedSlabsReflectAndTransmitAsTransportTheorySays) {
  // The grid's end (5e4 ps, 1.5e4 free paths) keeps nothing inside slabs this thin.
  const TimeGrid grid{100.0, 1024};
  struct Case {
    double a, b;
  };
  for (const Case c : {Case{0.5, 0.5}, Case{0.9, 1.0}, Case{0.99, 4.0}}) {
    double reflection, transmission;
    IsotropicSlab(c.a, c.b, reflection, transmission);
    MonteCarloOptions options{.photons = 40'000, .g = {0.0}, .seed = 17};
    const MonteCarloCurves mc = MonteCarlo(MatchedSlab(c.a, c.b, 0.0), {1.0L}, grid, options);
    EXPECT_NEAR(mc.total_reflectance, reflection, 3 * mc.total_reflectance_error) << "a " << c.a << " b " << c.b;
    EXPECT_NEAR(mc.total_transmittance, transmission, 3 * mc.total_transmittance_error) << "a " << c.a << " b " << c.b;
    EXPECT_LT(mc.total_reflectance_error, 0.05 * reflection);
  }
  // The integral equation itself against van de Hulst's conservative slab: R + T = 1.
  double reflection, transmission;
  IsotropicSlab(1.0, 2.0, reflection, transmission);
  EXPECT_NEAR(reflection + transmission, 1.0, 2e-4);

  // Henyey-Greenstein, g = 0.75, a = 0.9, b = 2: van de Hulst's (Multiple Light Scattering,
  // 1980) R = 0.09739, T = 0.66096, the check Prahl et al. quote (A Monte Carlo model of light
  // propagation in tissue, SPIE IS 5, 1989).
  MonteCarloOptions options{.photons = 60'000, .g = {0.75}, .seed = 19};
  const MonteCarloCurves hg = MonteCarlo(MatchedSlab(0.9, 2.0, 0.75), {1.0L}, grid, options);
  EXPECT_NEAR(hg.total_reflectance, 0.09739, 3 * hg.total_reflectance_error);
  EXPECT_NEAR(hg.total_transmittance, 0.66096, 3 * hg.total_transmittance_error);
  EXPECT_LT(hg.total_transmittance_error, 0.005);
}

TEST(MonteCarloTransport, PhotonsAreConserved) {
  // A non-absorbing matched half-space returns every photon: what the time limit keeps inside
  // (the return time has a t^-3/2 tail) is small, and nothing else is lost.
  // After 5e4 free paths about 1.7 sqrt(3 / (pi 5e4)) = 0.7 % are still inside.
  MonteCarloOptions options{.photons = 10'000, .g = {0.0}, .seed = 3};
  const MonteCarloCurves half = MonteCarlo(HalfSpace(10.0L, 0.0L, 1.0L), {1.0L}, {500.0, 64}, options);
  EXPECT_LT(half.unfinished, 0.015);
  EXPECT_NEAR(half.total_reflectance + half.unfinished, 1.0, 1e-12);
  EXPECT_NEAR(half.total_reflectance, 1.0, 4 * half.total_reflectance_error + half.unfinished);

  // A non-absorbing slab between mismatched indices: reflection plus transmission is what
  // the surface lets in, 1 - ((n - 1) / (n + 1))^2, however often the interfaces reflect.
  const Medium slab{{{1.0L, 0.0L, 1.4L, 2.0L}, {0.5L, 0.0L, 1.33L, 3.0L}}};
  options.g = {0.9, 0.8};
  options.photons = 4'000;
  const MonteCarloCurves mc = MonteCarlo(slab, {1.0L}, {1000.0, 64}, options);
  const double entering = 1.0 - std::pow(0.4 / 2.4, 2);
  EXPECT_LT(mc.unfinished, 1e-3);
  EXPECT_NEAR(mc.total_reflectance + mc.total_transmittance + mc.unfinished, entering, 1e-12);
  EXPECT_GT(mc.total_transmittance, 4 * mc.total_transmittance_error);
}

TEST(MonteCarloWhite, ReweightingFollowsBeerLambert) {
  const double n = 1.4, mua = 0.02;
  const Medium medium = HalfSpace(1.0L, static_cast<long double>(mua), static_cast<long double>(n));
  const TimeGrid grid{100.0, 64};
  MonteCarloOptions options{.photons = 60'000, .g = {0.0}, .width_mm = 4.0, .seed = 11, .record_paths = true};
  const MonteCarloCurves white = MonteCarlo(medium, {10.0L}, grid, options);
  ASSERT_GT(white.paths.size(), 1000u);
  const ReweightedCurves re = Reweight(white, {mua});

  // In one layer the path is c t / n: the same weights from the recorded times alone.
  std::vector<double> expected(white.t_ps.size(), 0.0);
  const double scale = 1.0 / (static_cast<double>(white.photons) * std::numbers::pi * (12.0 * 12.0 - 8.0 * 8.0) * 100.0);
  for (std::size_t i = 0; i < white.paths.size(); ++i) {
    expected[white.paths.time_bin[i]] +=
        white.paths.weight[i] * std::exp(-mua * kLightSpeedMmPerPs * white.paths.time_ps[i] / n) * scale;
    EXPECT_NEAR(white.paths.path_mm[i], kLightSpeedMmPerPs * white.paths.time_ps[i] / n, 1e-9 * white.paths.path_mm[i]);
  }
  double sum = 0, mean_path = 0;
  for (std::size_t k = 0; k < expected.size(); ++k) {
    EXPECT_NEAR(re.curves.Curve(0)[k], expected[k], 1e-12 * expected[k] + 1e-300) << "bin " << k;
    sum += expected[k];
    mean_path += expected[k] * kLightSpeedMmPerPs * white.t_ps[k] / n;
  }
  // The mean partial pathlength of one layer is the mean path, c <t> / n, to the bins' width.
  EXPECT_NEAR(re.mean_partial_path_mm[0], mean_path / sum, 0.01 * mean_path / sum);

  // A direct run with absorption (albedo weighting and roulette) estimates the same curve.
  options.record_paths = false;
  options.seed = 12;
  const MonteCarloCurves direct = MonteCarlo(medium, {10.0L}, grid, options);
  double direct_sum = 0, re_sum = 0, variance = 0;
  const double peak = *std::max_element(re.curves.reflectance.begin(), re.curves.reflectance.end());
  for (std::size_t k = 0; k < expected.size(); ++k) {
    direct_sum += direct.Curve(0)[k];
    re_sum += re.curves.Curve(0)[k];
    variance += std::pow(direct.StandardError(0)[k], 2) + std::pow(re.curves.StandardError(0)[k], 2);
    // Bins are independent between the runs: each within 4.5 of their joint errors where both
    // hold enough photons for the batches' errors to mean something (not in the sparse tail).
    const double joint = std::hypot(direct.StandardError(0)[k], re.curves.StandardError(0)[k]);
    if (re.curves.Curve(0)[k] > 0.01 * peak) {
      EXPECT_NEAR(direct.Curve(0)[k], re.curves.Curve(0)[k], 4.5 * joint) << "bin " << k;
    }
  }
  EXPECT_NEAR(direct_sum, re_sum, 4 * std::sqrt(variance));
}

TEST(MonteCarloTransport, AgreesWithDiffusionAtLateGates) {
  // 30 mm in mus' 1/mm, mua 0.01/mm: diffusion holds at late gates. Isotropic scattering with
  // mus = mus' (the similarity relation) keeps the run short; the annulus 20 ... 40 mm is held
  // against diffusion averaged over the same area.
  const Medium medium = HalfSpace(1.0L, 0.01L, 1.4L);
  const TimeGrid grid{100.0, 64};
  MonteCarloOptions options{.photons = 150'000, .g = {0.0}, .width_mm = 20.0, .seed = 5};
  const MonteCarloCurves mc = MonteCarlo(medium, {30.0L}, grid, options);
  std::vector<long double> rhos;
  for (int j = 0; j < 40; ++j) rhos.push_back(20.25L + 0.5L * j);
  const TimeCurves diffusion = TimeResolved(medium, rhos, grid);
  double mc_sum = 0, diffusion_sum = 0, variance = 0;
  for (std::size_t k = 0; k < mc.t_ps.size(); ++k) {
    if (mc.t_ps[k] < 1000.0 || mc.t_ps[k] > 3000.0) continue;
    double weighted = 0, area = 0;
    for (std::size_t j = 0; j < rhos.size(); ++j) {
      weighted += diffusion.Curve(j)[k] * static_cast<double>(rhos[j]);
      area += static_cast<double>(rhos[j]);
    }
    diffusion_sum += weighted / area;
    mc_sum += mc.Curve(0)[k];
    variance += std::pow(mc.StandardError(0)[k], 2);
  }
  const double ratio = mc_sum / diffusion_sum, error = std::sqrt(variance) / diffusion_sum;
  RecordProperty("late_gate_ratio", std::to_string(ratio) + " +- " + std::to_string(error));
  EXPECT_LT(error, 0.03);
  EXPECT_NEAR(ratio, 1.0, 4 * error);
}

TEST(MonteCarloParallel, SameSeedSameResultOnAnyThreadCount) {
  const Medium head{{{1.9L, 0.018L, 1.4L, 3.0L}, {1.6L, 0.016L, 1.4L, 7.0L}, {0.25L, 0.004L, 1.4L, 2.0L},
                     {1.2L, 0.02L, 1.4L, 50.0L}}};
  MonteCarloOptions options{.photons = 2'000, .batches = 6, .width_mm = 4.0, .seed = 42, .threads = 1};
  const TimeGrid grid{50.0, 32};
  const MonteCarloCurves one = MonteCarlo(head, {10.0L, 20.0L}, grid, options);
  for (unsigned threads : {2u, 3u, 8u}) {
    options.threads = threads;
    const MonteCarloCurves many = MonteCarlo(head, {10.0L, 20.0L}, grid, options);
    EXPECT_EQ(many.reflectance, one.reflectance) << threads << " threads";
    EXPECT_EQ(many.standard_error, one.standard_error) << threads << " threads";
    EXPECT_EQ(many.total_reflectance, one.total_reflectance) << threads << " threads";
  }
  // Batches run in parts elsewhere and handed back in any order: the same curves.
  std::vector<MonteCarloBatches> parts;
  parts.push_back(MonteCarloRunBatches(head, {10.0L, 20.0L}, grid, options, 4, 2));
  parts.push_back(MonteCarloRunBatches(head, {10.0L, 20.0L}, grid, options, 0, 1));
  parts.push_back(MonteCarloRunBatches(head, {10.0L, 20.0L}, grid, options, 1, 3));
  const MonteCarloCurves split = MonteCarloCombine(head, {10.0L, 20.0L}, grid, options, parts);
  EXPECT_EQ(split.reflectance, one.reflectance);
  EXPECT_EQ(split.standard_error, one.standard_error);
  EXPECT_EQ(split.total_reflectance, one.total_reflectance);
  parts.pop_back();
  EXPECT_THROW(MonteCarloCombine(head, {10.0L, 20.0L}, grid, options, parts), InvalidRequest);
  parts.push_back(parts.front());
  EXPECT_THROW(MonteCarloCombine(head, {10.0L, 20.0L}, grid, options, parts), InvalidRequest);
  EXPECT_THROW(MonteCarloRunBatches(head, {10.0L}, grid, options, 5, 2), InvalidRequest);

  options.seed = 43;
  EXPECT_NE(MonteCarlo(head, {10.0L, 20.0L}, grid, options).reflectance, one.reflectance);
}

TEST(MonteCarloRequest, RefusesWhatCannotBeSimulated) {
  const Medium medium = HalfSpace(1.0L, 0.01L, 1.4L);
  EXPECT_THROW(MonteCarlo(medium, {10.0L}, {}, {.batches = 1}), InvalidRequest);
  EXPECT_THROW(MonteCarlo(medium, {10.0L}, {}, {.g = {1.0}}), InvalidRequest);
  EXPECT_THROW(MonteCarlo(medium, {10.0L}, {}, {.g = {0.9, 0.9}}), InvalidRequest);
  EXPECT_THROW(MonteCarlo(medium, {0.0L}, {}, {}), InvalidRequest);
  const MonteCarloCurves direct = MonteCarlo(medium, {10.0L}, {}, {.photons = 20});
  EXPECT_THROW(Reweight(direct, {0.01}), InvalidRequest);
}

}  // namespace
}  // namespace nlayer
