// The plotting module: the plot library behind one C symbol, opened at run time by the command
// lines (plot/plot_module.h).
#include "plot/plot_module.h"

#include <exception>

#include "plot/chart_image.h"
#include "plot/fit_plot.h"

namespace nlayer::plot {
namespace {

template <class F>
bool Catching(std::string& error, F&& draw) {
  try {
    draw();
    return true;
  } catch (const std::exception& e) {
    error = e.what();
  } catch (...) {
    error = "the plotting module failed without a message";
  }
  return false;
}

bool WriteChart(const MemoryChart& chart, const std::filesystem::path& path, std::string& error) {
  return Catching(error, [&] { ui::WriteChartImage(chart, path); });
}

bool WriteCurves(const std::vector<ui::NamedCurve>& curves, const std::filesystem::path& path, std::string& error) {
  return Catching(error, [&] { ui::WriteCurvesImage(curves, path); });
}

bool WriteFits(const std::vector<fit::FitPicture>& pictures, const std::filesystem::path& path, std::string& error) {
  return Catching(error, [&] { fit::WriteFitImages(pictures, path); });
}

constexpr ModuleFunctions kFunctions{kModuleVersion, WriteChart, WriteCurves, WriteFits};

}  // namespace
}  // namespace nlayer::plot

extern "C" __attribute__((visibility("default"))) const nlayer::plot::ModuleFunctions* nlayer_plot_module() {
  return &nlayer::plot::kFunctions;
}
