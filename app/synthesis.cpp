// The second half of a run: the library's spectrum and time samples at the run's distance, and
// the kept samples written to "reflectance.dat" and appended to the chart.
#include <cmath>
#include <span>
#include <vector>

#include "app/run.h"
#include "app/run_error.h"
#include "core/accuracy.h"
#include "core/derived_model.h"
#include "core/period.h"
#include "core/spectrum.h"
#include "core/synthesis.h"
#include "io/output_format.h"

namespace nlayer {

namespace {

constexpr int kLastPeakSample = 501;    // the peak is searched up to 5010 ps
constexpr int kLastOutputSample = 512;  // output up to 5120 ps
constexpr long double kDynamicRange = 1e6L;  // six decades below the peak

// The time samples of the run, each fault becoming the runtime's message with FreqIndex at
// the frequency where the run ended.
std::vector<double> ComputeSamples(ModelState& s, const RunOptions& options, TransformPlan& plan) {
  const DerivedModel& model = s.Model;
  const TimeGrid grid;  // the window's: 1024 samples 10 ps apart
  const std::vector<long double> omegas = GridOmegas(grid);
  if (s.Rho > 0 && !model.Musp.empty() && model.Musp[0] > 0 && s.Rho * model.Musp[0] > kLongestRhoMusp) {
    const Medium medium{{Layer{model.Musp[0], 0, 1, 1}}};
    throw RunError(RunErrorKind::kDistanceTooFar, std::string(kDistanceTooFar), DistanceBeyondTransform(medium, s.Rho)->message);
  }
  const Spectrum spectrum =
      ComputeSpectrum(model, std::span<const long double>(&s.Rho, 1), omegas, options.threads,
                      options.computed_frequencies);
  try {
    std::vector<double> samples = std::move(SynthesizeSamples(spectrum, omegas, grid.samples)[0]);
    plan = spectrum.plans.front();
    s.FreqIndex = static_cast<int>(omegas.size()) - 1;
    // The loop leaves the working values of the last frequency behind.
    FrequencyContext last;
    last.Resize(model.DiffCoef.size());
    Checked([&] { SetFrequency(omegas.back(), model, last); });
    s.Omega = last.Omega;
    s.OmegaTerm = last.OmegaTerm;
    s.ReflRe = spectrum.At(omegas.size() - 1, 0).re;
    s.ReflIm = spectrum.At(omegas.size() - 1, 0).im;
    return samples;
  } catch (const ModelError& e) {
    s.FreqIndex = e.frequency_index() >= 0 ? e.frequency_index() : static_cast<int>(omegas.size()) - 1;
    throw RunError::OfFault(e.kind());
  }
}

}  // namespace

void RunSession::SynthesizeTimeDomain(ChartSink& chart, const RunOptions& options) {
  try {
    Synthesize(chart, options);
  } catch (const FileRefusal& refusal) {
    ThrowRunError(refusal);
  }
}

void RunSession::Synthesize(ChartSink& chart, const RunOptions& options) {
  ModelState& s = state_;
  const DerivedModel& model = s.Model;
  TransformPlan plan;
  const std::vector<double> a = ComputeSamples(s, options, plan);

  Checked([&] {
    s.PeakAbs = std::fabs(a[1]);
    for (int i = 1; i <= kLastPeakSample; ++i) {
      if (std::fabs(a[i]) > s.PeakAbs) s.PeakAbs = std::fabs(a[i]);
    }
  });

  folded_part_ = 0;
  Checked([&] {
    if (s.PeakAbs > 0) folded_part_ = FoldBound(a) / s.PeakAbs;
  });

  const TimeGrid grid;
  // A curve whose rounding would show among the kept samples is refused, not written.
  long double peak = 0;
  if (RunChecked([&] { peak = ScaleSample(s.PeakAbs, grid); }) == FaultKind::kNone) {
    if (auto problem = CurveAccuracyProblem(model, s.Rho, plan, peak, grid)) {
      throw RunError(RunErrorKind::kDistanceTooFar, std::string(kDistanceTooFar), problem->message);
    }
  }
  for (int i = 1; i <= kLastOutputSample; ++i) {
    bool kept = false;
    // The ratio test is a step of its own: with every sample 0 it is 0/0, an invalid
    // operation, which the division by zero of log10(0) below must not mask.
    Checked([&] { kept = !(s.PeakAbs / static_cast<long double>(std::fabs(a[i])) > kDynamicRange); });
    if (!kept) continue;
    long double scaled = 0;
    double y = 0;
    Checked([&] {
      // 0.001 * 200 / 1024 = 2 delta f in 1/ps turns the sum into mm^-2 ps^-1.
      scaled = ScaleSample(a[i], grid);
      y = static_cast<double>(std::log10(std::fabs(scaled)));
    });
    const double x = static_cast<double>(10 * i);
    chart.AppendPoint(s.RunIndex, x, y);
    s.OutputFile.Write(FormatLine(10.0L * i, scaled));
  }
  s.OutputFile.Close();
}

}  // namespace nlayer
