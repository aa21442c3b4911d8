// The pictures in files for programs that must start without Qt: nlayer-run and nlayer-fit draw
// through a module (libnlayer_plot.so) opened only when a picture is asked for, so that their
// start-up loads no Qt library. The window links the plot library itself.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "app/chart_sink.h"
#include "plot/pictures.h"

namespace nlayer::plot {

// Each draws as its namesake in plot/chart_image.h or plot/fit_plot.h does. The module is
// opened on the first call; a module that cannot be opened (not installed, or of another build)
// is a std::runtime_error naming its path and why, and so is any failure to draw or write.
void WriteChartImage(const MemoryChart& chart, const std::filesystem::path& path);
void WriteCurvesImage(const std::vector<ui::NamedCurve>& curves, const std::filesystem::path& path);
void WriteFitImages(const std::vector<fit::FitPicture>& pictures, const std::filesystem::path& path);

// Where the module is looked for: beside the running program's folder as the build tree and
// an installation both lay it out (bin/../<libdir>/nlayer/libnlayer_plot.so).
std::filesystem::path ModulePath();

// The module's one exported symbol returns this table. The program and the module come from one
// build, so C++ types may cross; exceptions do not: a failure comes back as its message.
struct ModuleFunctions {
  int version;
  bool (*write_chart)(const MemoryChart&, const std::filesystem::path&, std::string& error);
  bool (*write_curves)(const std::vector<ui::NamedCurve>&, const std::filesystem::path&, std::string& error);
  bool (*write_fits)(const std::vector<fit::FitPicture>&, const std::filesystem::path&, std::string& error);
};
// Raised whenever the table or the types it passes change.
inline constexpr int kModuleVersion = 1;
inline constexpr const char* kModuleEntry = "nlayer_plot_module";

}  // namespace nlayer::plot
