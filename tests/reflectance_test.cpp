// The library's interface: time-resolved curves, frequency-domain values and the
// continuous-wave reflectance against closed forms, against each other, and against the
// window's run; validation of requests and the faults a model can meet.
#include "nlayer/reflectance.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <stop_token>
#include <thread>
#include <vector>

#include "app/chart_sink.h"
#include "app/run.h"
#include "core/derived_model.h"
#include "nlayer/moments.h"
#include "tests/test_support.h"

namespace nlayer {
namespace {

using testing::HalfSpaceClosedForm;
using testing::RelErr;
using testing::TempWorkDir;

const Medium kHalfSpace{{{1.0L, 0.01L, 1.4L, 10.0L}}};
const Medium kTwoLayers{{{1.0L, 0.01L, 1.4L, 5.0L}, {2.0L, 0.03L, 1.4L, 15.0L}}};
const Medium kMismatched{{{1.2L, 0.02L, 1.33L, 2.0L}, {0.8L, 0.005L, 1.5L, 4.0L}, {1.5L, 0.015L, 1.6L, 30.0L}}};

// The transform stops at 30 mus', where the one-layer integrand has fallen by exp(-30 z0 mus');
// what it drops is below 2e-14 mm^-2 at these distances.
constexpr double kTruncation = 2e-14;

TEST(FrequencyDomain, OneLayerAgreesWithTheClosedForm) {
  const std::vector<long double> rhos = {5, 20, 40};
  const std::vector<double> freqs = {0.0, 1e8, 1e9};
  const FrequencySpectra spectra = FrequencyDomain(kHalfSpace, rhos, freqs);
  for (std::size_t r = 0; r < rhos.size(); ++r) {
    for (std::size_t k = 0; k < freqs.size(); ++k) {
      const auto expected = HalfSpaceClosedForm(kHalfSpace.layers[0], static_cast<double>(rhos[r]), freqs[k]);
      EXPECT_LT(std::abs(spectra.At(r, k) - expected), kTruncation + 1e-12 * std::abs(expected))
          << "rho " << static_cast<double>(rhos[r]) << " f " << freqs[k];
    }
  }
  // The phase lag of a causal curve is positive, and the continuous-wave value is real.
  EXPECT_GT(-std::arg(spectra.At(1, 1)), 0.0);
  EXPECT_EQ(spectra.At(1, 0).imag(), 0.0);
  const std::vector<double> cw = ContinuousWave(kHalfSpace, rhos);
  for (std::size_t r = 0; r < rhos.size(); ++r) EXPECT_EQ(cw[r], spectra.At(r, 0).real());
}

// The curve is the inverse DFT of the spectrum at the grid's frequencies, so the forward DFT of
// one period of the curve gives those spectrum values back. The returned half period stops
// at samples/2 dt; on a 20 ns window the half left out holds what arrives after 10 ns, nine
// decades below the peak.
TEST(TimeResolved, TheCurveTransformsBackIntoTheFrequencyDomain) {
  const TimeGrid grid{.dt_ps = 10.0, .samples = 2048};
  const std::vector<long double> rhos = {15, 30};
  const TimeCurves curves = TimeResolved(kMismatched, rhos, grid);
  const double period_ps = grid.dt_ps * grid.samples;
  std::vector<double> freqs;
  for (int k : {0, 1, 7, 40}) freqs.push_back(k / (period_ps * 1e-12));
  const FrequencySpectra spectra = FrequencyDomain(kMismatched, rhos, freqs);
  for (std::size_t r = 0; r < rhos.size(); ++r) {
    const auto curve = curves.Curve(r);
    for (std::size_t k = 0; k < freqs.size(); ++k) {
      std::complex<double> sum = 0;
      for (std::size_t j = 0; j < curve.size(); ++j) {
        const double phase = -2.0 * std::numbers::pi * freqs[k] * 1e-12 * curves.t_ps[j];
        sum += curve[j] * grid.dt_ps * std::polar(1.0, phase);
      }
      EXPECT_LT(std::abs(sum - spectra.At(r, k)), 1e-8 * std::abs(spectra.At(r, 0))) << r << " " << k;
    }
  }
}

// Distances on every kind of rule side by side: the single rule (2.5 to 30 mm) alone, one
// extended panel (40 mm) alone, two panels (60, 65 mm), in an order that mixes them. Together,
// all take the 65 mm's panels: each value stays within the rounding stated alone and together of
// what it is alone. Where the single rule serves every distance, nothing changes a bit. A short
// grid: what is shared lies in the spectrum, whatever its length.
TEST(TimeResolved, EachDistanceIsWhatItIsAloneWithinItsRounding) {
  const std::vector<long double> rhos = {10, 60, 20, 40, 30, 65, 2.5};
  const TimeGrid grid{.dt_ps = 20.0, .samples = 256};
  const TimeCurves together = TimeResolved(kTwoLayers, rhos, grid);
  const std::vector<double> f_hz = {0.0, 1e8, 2e9};
  const FrequencySpectra spectra_together = FrequencyDomain(kTwoLayers, rhos, f_hz);
  const std::vector<long double> short_ones = {10, 2.5, 30, 20};
  const TimeCurves single_rule = TimeResolved(kTwoLayers, short_ones, grid);
  for (std::size_t r = 0; r < rhos.size(); ++r) {
    const TimeCurves alone = TimeResolved(kTwoLayers, {rhos[r]}, grid);
    ASSERT_EQ(alone.t_ps.size(), 128u);
    const auto a = alone.Curve(0), b = together.Curve(r);
    const double allowed = alone.rounding[0] + together.rounding[r];
    for (std::size_t i = 0; i < a.size(); ++i) ASSERT_LE(std::fabs(a[i] - b[i]), allowed) << rhos[r] << " " << i;
    const FrequencySpectra spectrum_alone = FrequencyDomain(kTwoLayers, {rhos[r]}, f_hz);
    for (std::size_t k = 0; k < f_hz.size(); ++k) {
      EXPECT_LE(std::abs(spectrum_alone.At(0, k) - spectra_together.At(r, k)),
                spectrum_alone.rounding[0] + spectra_together.rounding[r]);
    }
    const auto on_single = std::find(short_ones.begin(), short_ones.end(), rhos[r]);
    if (on_single == short_ones.end()) continue;
    const auto c = single_rule.Curve(static_cast<std::size_t>(on_single - short_ones.begin()));
    EXPECT_TRUE(std::equal(a.begin(), a.end(), c.begin())) << "rho " << static_cast<double>(rhos[r]);
  }
  // Distances held as doubles give the same bits as the same values as extended reals.
  const std::vector<double> as_doubles = {10, 60, 20};
  EXPECT_EQ(TimeResolved(kTwoLayers, as_doubles, grid).reflectance,
            TimeResolved(kTwoLayers, {10.0L, 60.0L, 20.0L}, grid).reflectance);
  EXPECT_EQ(ContinuousWave(kTwoLayers, as_doubles), ContinuousWave(kTwoLayers, {10, 60, 20}));
  // Nor does the number of threads change a bit.
  const TimeCurves one_thread = TimeResolved(kTwoLayers, rhos, grid, ComputeOptions{.threads = 1});
  const TimeCurves three_threads = TimeResolved(kTwoLayers, rhos, grid, ComputeOptions{.threads = 3});
  EXPECT_EQ(one_thread.reflectance, together.reflectance);
  EXPECT_EQ(three_threads.reflectance, together.reflectance);
}

// The default grid is the window's: its chart holds log10 of the same samples.
TEST(TimeResolved, TheDefaultGridGivesTheWindowsCurve) {
  TempWorkDir dir;
  dir.Write("input.dat", "2\n1\n0.01\n1.4\n5\n2\n0.03\n1.4\n15\n20\n");
  MemoryChart chart;
  RunSession session;
  session.Run(chart);
  const TimeCurves curves = TimeResolved(kTwoLayers, {20});
  ASSERT_FALSE(chart.Series(0).empty());
  // The library's form of the layered solution (its root, the growth scaled out) rounds
  // otherwise than the window's: the curves agree to the rounding of the transform, some
  // 1e-15 of the peak (measured 8e-16), which early samples far below the peak show as
  // relative differences of up to 1e-9.
  const double peak = curves.reflectance[37];
  for (const auto& [t, log_r] : chart.Series(0)) {
    const std::size_t i = static_cast<std::size_t>(std::lround(t / 10.0)) - 1;
    EXPECT_EQ(curves.t_ps[i], t);
    EXPECT_NEAR(curves.reflectance[i], std::pow(10.0, log_r), 1e-14 * peak) << t;
  }
  // The peak, from the published whole-run values.
  EXPECT_LT(RelErr(curves.reflectance[37], 8.130758e-09L), 1e-6L);
}

TEST(TimeGrid, OtherGridsSampleTheSameCurve) {
  // Halving the step and doubling the samples keeps the window; the curves agree where they
  // share a time, to the aliasing of the shorter spectrum (it stops at 50 GHz).
  const TimeCurves coarse = TimeResolved(kHalfSpace, {20});
  const TimeCurves fine = TimeResolved(kHalfSpace, {20}, TimeGrid{.dt_ps = 5.0, .samples = 2048});
  ASSERT_EQ(fine.t_ps.size(), 1024u);
  EXPECT_EQ(fine.t_ps.back(), 5120.0);
  const double peak = coarse.reflectance[42];
  for (std::size_t i = 0; i < coarse.t_ps.size(); ++i) {
    EXPECT_NEAR(fine.reflectance[2 * i + 1], coarse.reflectance[i], 1e-9 * peak) << coarse.t_ps[i];
  }
}

TEST(Validation, NamesTheLayerTheFieldAndTheValue) {
  auto message_of = [](const Medium& medium, std::vector<long double> rhos, TimeGrid grid = {}) -> std::string {
    try {
      TimeResolved(medium, rhos, grid);
    } catch (const InvalidRequest& e) {
      return e.what();
    }
    return "";
  };
  Medium m = kTwoLayers;
  m.layers[1].mua = -0.01L;
  EXPECT_EQ(message_of(m, {20}), "mua of layer 2 is -0.01; it must be >= 0 and finite");
  m = kTwoLayers;
  m.layers[1].d = 0;
  EXPECT_EQ(message_of(m, {20}), "d of layer 2 is 0; it must be > 0 and finite");
  m.layers[0].musp = 0;
  EXPECT_EQ(message_of(m, {20}), "musp of layer 1 is 0; it must be > 0 and finite");
  EXPECT_EQ(message_of(Medium{}, {20}), "the medium has no layers; it needs at least one");
  EXPECT_EQ(message_of(kTwoLayers, {20, 0}), "rho is 0; it must be > 0 and finite (mm)");
  EXPECT_EQ(message_of(kTwoLayers, {20}, TimeGrid{.dt_ps = 10, .samples = 1000}),
            "samples is 1000; it must be a power of two from 16 to 65536");
  // The grid's frequencies obey the limit of any frequency: 1/(2 dt) <= 1e12 Hz.
  EXPECT_EQ(message_of(kTwoLayers, {20}, TimeGrid{.dt_ps = 1e-300, .samples = 16}),
            "dt_ps is 1e-300; the curve's frequencies reach 1/(2 dt), at most 1e12 Hz, so dt must be >= 0.5 ps");
  EXPECT_EQ(message_of(kTwoLayers, {20}, TimeGrid{.dt_ps = 0.5, .samples = 16}), "");
  // A half-space has no thickness to check.
  Medium half_space = kHalfSpace;
  half_space.layers[0].d = 0;
  EXPECT_EQ(message_of(half_space, {20}), "");
}

// A stop requested before or during a call ends it with Cancelled, in either engine and from
// any frequency loop; a call with a stop that is never requested computes as without one.
TEST(Cancellation, AStopRequestEndsTheCallWithCancelled) {
  for (Engine engine : {Engine::kExact, Engine::kFast}) {
    std::stop_source before;
    before.request_stop();
    const ComputeOptions stopped{.threads = 2, .engine = engine, .stop = before.get_token()};
    EXPECT_THROW(TimeResolved(kTwoLayers, {20}, TimeGrid{}, stopped), Cancelled);
    EXPECT_THROW(FrequencyDomain(kTwoLayers, {20}, {0.0, 1e8}, stopped), Cancelled);
    EXPECT_THROW(Sensitivity(kTwoLayers, 20, TimeGrid{}, stopped), Cancelled);

    // Stopped midway: a 65536-sample exact curve takes seconds, the request comes after 50 ms.
    std::stop_source during;
    std::jthread requester([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      during.request_stop();
    });
    EXPECT_THROW(TimeResolved(kMismatched, {10, 20, 30}, TimeGrid{.dt_ps = 1, .samples = 65536},
                              {.threads = 1, .engine = engine, .stop = during.get_token()}),
                 Cancelled);

    std::stop_source never;
    EXPECT_EQ(TimeResolved(kTwoLayers, {20}, TimeGrid{}, {.engine = engine, .stop = never.get_token()}).reflectance,
              TimeResolved(kTwoLayers, {20}, TimeGrid{}, {.engine = engine}).reflectance);
  }
}

// The stored reflection of the index 1.4 is that of a double 1.4 too, as Python passes it.
TEST(DerivedModel, TheIndex1Point4AsADoubleTakesTheStoredReflection) {
  EXPECT_EQ(BoundaryReflection(static_cast<long double>(1.4)), BoundaryReflection(1.4L));
  EXPECT_EQ(BoundaryReflection(1.4L), 0.493477582093524L);
  EXPECT_NE(BoundaryReflection(1.41L), BoundaryReflection(1.4L));
}

// Faults come back as data: the kind, where, and an English sentence.
TEST(ModelError, CarriesTheKindTheStageAndTheFrequency) {
  // mua / D = 3 mua mus' of the bottom layer passes the extended range; the frequencies share
  // it, so it counts as a fault of the first frequency asked for.
  const Medium huge_absorption{{{1.0L, 0.01L, 1.4L, 5.0L}, {1.0L, 1e4932L, 1.4L, 20.0L}}};
  try {
    FrequencyDomain(huge_absorption, {20}, {1e8, 0.0});
    FAIL() << "no fault";
  } catch (const ModelError& e) {
    EXPECT_EQ(e.kind(), FaultKind::kOverflow);
    EXPECT_EQ(e.stage(), FaultStage::kFrequency);
    EXPECT_EQ(e.frequency_index(), 0);
    EXPECT_EQ(e.frequency_hz(), 1e8);
    EXPECT_NE(std::string(e.what()).find("floating-point overflow in the layered solution at frequency index 0 (1e+08 Hz)"),
              std::string::npos)
        << e.what();
  }
  // A stack the window's run refuses as too thick is no fault here.
  const Medium thick{{{1.0L, 0.01L, 1.4L, 5.0L}, {1.0L, 0.01L, 1.4L, 400.0L}}};
  EXPECT_NO_THROW(FrequencyDomain(thick, {20}, {1e8, 0.0}));
}

}  // namespace
}  // namespace nlayer
