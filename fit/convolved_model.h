// The model of a measured histogram: the reflectance's spectrum on a periodic grid of the
// bins' width, convolved with the IRF and shifted, turned into counts per bin by one FFT.
#pragma once

#include <complex>
#include <cstddef>
#include <span>
#include <vector>

namespace nlayer::fit {

class ConvolvedModel {
 public:
  // `irf`: counts on the measured bins (any scale, area > 0), `samples` the grid's length (a
  // power of two of at least twice irf.size()), `dt_ps` the bins' width.
  ConvolvedModel(std::span<const double> irf, double dt_ps, int samples);

  int samples() const { return samples_; }
  double dt_ps() const { return dt_ps_; }
  // The grid's frequencies k / (samples dt) in Hz, k = 0 ... count - 1 (count <= samples/2 + 1).
  std::vector<double> FrequenciesHz(int count) const;

  // Counts of bins 0 ... out.size() - 1 for the reflectance spectrum R~(f_k) of `spectrum`
  // (k = 0 ... spectrum.size() - 1; the frequencies above count as 0): amplitude times the
  // IRF-convolved curve delayed by `shift_ps`, times dt. With `d_shift` (same size as `out`),
  // also the derivative of the counts with respect to the shift, per ps.
  void Counts(std::span<const std::complex<double>> spectrum, double amplitude, double shift_ps,
              std::span<double> out, std::span<double> d_shift = {}) const;

  // The number of frequencies from 0 up that leave out no more than `tolerance` times the
  // peak of the convolved curve, given the whole spectrum (samples/2 + 1 values): the largest
  // change the frequencies above can make to any bin is (2 / samples) times the sum of the
  // magnitudes they contribute.
  int FrequenciesNeeded(std::span<const std::complex<double>> full_spectrum, double tolerance) const;

  // What the period's end folds onto the start of the convolved curve, relative to its peak
  // (a bound, core/period.h), given the whole spectrum: a curve that has not faded within the
  // period lands on its own start.
  double FoldPart(std::span<const std::complex<double>> full_spectrum) const;

  // The largest change that leaving out the frequencies from `count` on makes to any bin,
  // relative to the peak of the convolved curve, given the whole spectrum.
  double TruncationBound(std::span<const std::complex<double>> full_spectrum, int count) const;

 private:
  void Synthesize(std::span<const std::complex<double>> spectrum, double amplitude, double shift_ps,
                  bool derivative, std::span<double> out) const;

  int samples_;
  double dt_ps_;
  std::vector<std::complex<double>> irf_spectrum_;  // DFT of the unit-area IRF, k = 0 ... samples/2
};

}  // namespace nlayer::fit
