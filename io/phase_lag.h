// The phase lag of a frequency-domain reflectance as a continuous function of the frequency.
#pragma once

#include <complex>
#include <span>
#include <vector>

namespace nlayer {

// The phase lag -arg R~(f) of `values` (one per frequency of `f_hz`, in any order), continued
// from 0 at f = 0 through the frequencies in ascending order: each lag is the one among
// -arg R~ + 2 pi k nearest the lag at the next lower frequency (0 below the lowest). The lag of
// a diffuse curve grows with f and passes pi at a few hundred MHz over centimetres, where the
// principal value would jump to -pi; the continuation follows it as long as neighbouring
// frequencies differ in lag by less than pi. Returned in the order of `f_hz`; 0, never -0, where
// R~ is real and positive; NaN where a value is NaN (the continuation skips it).
std::vector<double> UnwrappedPhaseLag(std::span<const std::complex<double>> values, std::span<const double> f_hz);

}  // namespace nlayer
