// The library's results as CSV tables for other programs: a header line, then one row per line,
// each ended by "\n"; every number in the shortest form that reads back to the same value
// (std::to_chars), with "." as the decimal point whatever the locale.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "nlayer/monte_carlo.h"
#include "nlayer/reflectance.h"

namespace nlayer {

// "t_ps,R_<label>mm,..." with one column per curve, named by `labels` (one per distance, e.g.
// the distances as the user wrote them), then one row per time: t in ps, R in mm^-2 ps^-1.
std::string TimeTable(const TimeCurves& curves, const std::vector<std::string>& labels);

// "t_ps,R_<label>mm,SE_<label>mm,..." as TimeTable, each curve of a Monte Carlo run followed by
// the standard error of its values from the run's batches.
std::string MonteCarloTable(const MonteCarloCurves& curves, const std::vector<std::string>& labels);

// "f_hz,rho_mm,re,im,amplitude,phase_rad", then one row per frequency and distance, the
// frequencies in the outer loop: R~ in mm^-2, its magnitude, and the phase lag -arg R~ in
// radians, continued from 0 at f = 0 over the table's frequencies (UnwrappedPhaseLag), so that
// it keeps growing past pi; 0, never -0, where R~ is real and positive.
std::string FrequencyTable(const FrequencySpectra& spectra);

}  // namespace nlayer
