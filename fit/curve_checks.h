// The checks of a measured curve and what is read from it before any fit: its bins, the
// model's grid for them, the background before the rise, the fit range and the rise's time.
// `who` starts every sentence of a refusal: empty for FitCurve's one curve, "curve \"a.dat\": "
// in a joint fit. Refusals throw FitInputError.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "nlayer/fit.h"

namespace nlayer::fit {

// The bins' width, once the bins, counts, IRF and calibrated shift are found fit to fit.
double CheckBins(const MeasuredCurve& curve, const std::string& who);

// The samples of the model's periodic grid on bins of width dt: a power of two.
int GridSamples(std::size_t bins, double dt, const std::string& who);

// The first bins before the curve rises hold nothing but the background.
double BackgroundEstimate(const std::vector<double>& counts);

// The background held fixed: the mean of the earlier half of the bins before the curve reaches
// 2 % of its peak. Their later half already holds the rise's first light (at 20 ps bins a mean
// over all of them, less three, raised mua's pulls by +0.35 at 0.1 counts per bin).
double PreRiseBackground(const std::vector<double>& counts);

// The first and last bin of the fit range (FitRange says how it is chosen).
std::pair<std::size_t, std::size_t> ChooseRange(const std::vector<double>& t, const std::vector<double>& y,
                                                const FitRange& range, double background, const std::string& who);

// The time at which a curve first reaches half its peak, between bins by linear interpolation.
double HalfRise(const std::vector<double>& t, const std::vector<double>& y, double background);

}  // namespace nlayer::fit
