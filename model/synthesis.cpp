// The second half of a run: 513 modulation frequencies, one inverse real FFT, and the kept
// time samples written to "reflectance.dat" and appended to the chart.
#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include "kernels/real_fft.h"
#include "model/fp_guard.h"
#include "model/hankel.h"
#include "model/model_state.h"
#include "model/output_format.h"
#include "model/run.h"

namespace nlayer {

namespace {

constexpr int kFrequencies = 513;       // k = 0 .. 512, up to 50 GHz
constexpr int kSamples = 1024;          // 10 ps apart
constexpr int kLastPeakSample = 501;    // the peak is searched up to 5010 ps
constexpr int kLastOutputSample = 512;  // output up to 5120 ps

constexpr long double kTwoPi = 6.283185307179586477L;
constexpr long double kFrequencyStepNumerator = 1e8L;  // 1e8 / 1.024 Hz = 97.65625 MHz
constexpr long double kFrequencyStepDivisor = 1.024L;
constexpr long double kSpeedOfLight = 2.99792458e11L;  // mm/s
constexpr long double kDynamicRange = 1e6L;            // six decades below the peak

struct FrequencyResult {
  long double re = 0;
  long double im = 0;
  FpFault fault = FpFault::kNone;
};

// Omega and the per-layer frequency terms omega n / (c D) of frequency k.
void SetFrequency(int k, const ModelState& s, FrequencyContext& context) {
  context.Omega = ((static_cast<long double>(k) * kTwoPi) * kFrequencyStepNumerator) / kFrequencyStepDivisor;
  for (std::size_t j = 0; j < s.DiffCoef.size(); ++j) {
    context.OmegaTerm[j] = context.Omega / ((s.DiffCoef[j] * kSpeedOfLight) / s.RefrIndex[j]);
  }
}

// Computes every frequency on `threads` workers. Each frequency is computed by the same code
// in the same order whichever worker takes it, so the results do not depend on the thread
// count. A frequency that faults stops the workers from starting any higher one: a sequential
// run would have ended there.
std::vector<FrequencyResult> ComputeFrequencies(const ModelState& s, const RunTables& tables,
                                               unsigned threads, int computed) {
  std::vector<FrequencyResult> results(kFrequencies);
  std::atomic<int> next{0};
  // No frequency from here on is started: the lowest one that faulted, or the test knob's limit
  // (frequencies not computed enter the transform as 0).
  std::atomic<int> stop_at{std::clamp(computed, 0, kFrequencies)};
  auto worker = [&] {
    FrequencyContext context;
    context.Resize(s.DiffCoef.size());
    for (int k = next++; k < kFrequencies && k < stop_at.load(); k = next++) {
      FrequencyResult& r = results[k];
      r.fault = RunChecked([&] {
        SetFrequency(k, s, context);
        RadialReflectance(tables, context);
      });
      r.re = context.ReflRe;
      r.im = context.ReflIm;
      if (r.fault != FpFault::kNone) {
        int seen = stop_at.load();
        while (k < seen && !stop_at.compare_exchange_weak(seen, k)) {
        }
      }
    }
  };
  if (threads <= 1) {
    worker();
  } else {
    std::vector<std::jthread> pool;
    for (unsigned t = 0; t < threads; ++t) pool.emplace_back(worker);
  }
  return results;
}

unsigned ThreadCount(unsigned requested) {
  if (requested != 0) return requested;
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace

void SynthesizeTimeDomain(ChartSink& chart, const RunOptions& options) {
  ModelState& s = State;
  // What the frequencies share is computed once. Done in the loop, its arithmetic would first
  // run at frequency 0, so that is where a fault of it belongs.
  const auto tables = std::make_unique<RunTables>();
  {
    FrequencyContext first;
    first.Resize(s.DiffCoef.size());
    const FpFault fault = RunChecked([&] {
      SetFrequency(0, s, first);
      BuildRunTables(s.Rho, *tables);
    });
    if (fault != FpFault::kNone) {
      s.FreqIndex = 0;
      ThrowFault(fault);
    }
  }
  const std::vector<FrequencyResult> results =
      ComputeFrequencies(s, *tables, ThreadCount(options.threads), options.computed_frequencies);

  // Pack the half spectrum in frequency order, so a fault is met where a sequential run meets
  // it. Conjugating makes the inverse transform sum R(k) exp(+2 pi i j k / 1024).
  std::array<double, kSamples> a{};
  FrequencyContext last;
  last.Resize(s.DiffCoef.size());
  for (int k = 0; k < kFrequencies; ++k) {
    s.FreqIndex = k;
    if (results[k].fault != FpFault::kNone) ThrowFault(results[k].fault);
    Checked([&] {
      if (k < kFrequencies - 1) {
        a[2 * k] = static_cast<double>(results[k].re);
        a[2 * k + 1] = static_cast<double>(-results[k].im);
      } else {
        a[1] = static_cast<double>(results[k].re);  // the Nyquist term overwrites -Im R(0)
      }
    });
  }
  // The loop leaves the working values of the last frequency behind.
  Checked([&] { SetFrequency(kFrequencies - 1, s, last); });
  s.Omega = last.Omega;
  s.OmegaTerm = last.OmegaTerm;
  s.ReflRe = results[kFrequencies - 1].re;
  s.ReflIm = results[kFrequencies - 1].im;

  Checked([&] { RealFFT(a.data(), kSamples / 2, -1); });

  Checked([&] {
    s.PeakAbs = std::fabs(a[1]);
    for (int i = 1; i <= kLastPeakSample; ++i) {
      if (std::fabs(a[i]) > s.PeakAbs) s.PeakAbs = std::fabs(a[i]);
    }
  });

  for (int i = 1; i <= kLastOutputSample; ++i) {
    bool kept = false;
    long double scaled = 0;
    double y = 0;
    Checked([&] {
      kept = !(s.PeakAbs / static_cast<long double>(std::fabs(a[i])) > kDynamicRange);
      if (kept) {
        // 0.001 * 200 / 1024 = 2 delta f in 1/ps turns the sum into mm^-2 ps^-1.
        scaled = ((0.001L * static_cast<long double>(a[i])) * 200.0L) / 1024.0L;
        y = static_cast<double>(std::log10(std::fabs(scaled)));
      }
    });
    if (!kept) continue;
    const double x = static_cast<double>(10 * i);
    chart.AppendPoint(s.RunIndex, x, y);
    s.OutputFile.Write(FormatLine(10.0L * i, scaled));
  }
  s.OutputFile.Close();
}

}  // namespace nlayer
