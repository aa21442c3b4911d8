// What the pictures in files draw, without Qt: the command lines fill these and hand them to the
// plotting module (plot/plot_module.h), which alone links Qt.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace nlayer::ui {

// A curve of a picture that names its curves: the legend's text and the points (x, y).
struct NamedCurve {
  std::string name;  // UTF-8
  std::vector<std::pair<double, double>> points;
};

}  // namespace nlayer::ui

namespace nlayer::fit {

struct FitPicture {
  std::vector<double> t_ps;
  std::vector<double> measured;
  std::vector<double> model;
  std::vector<double> residuals;
  std::size_t first_bin = 0, last_bin = 0;  // the fit range, inclusive
  std::string title;                        // UTF-8, e.g. the fitted values
};

}  // namespace nlayer::fit
