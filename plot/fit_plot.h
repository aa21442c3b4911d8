// The picture of a fit: the measured counts and the fitted curve on a logarithmic axis above,
// the normalised residuals of the fit range below, on time axes that line up; PNG or SVG by the
// file name's suffix.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include <QtGlobal>

#include "plot/pictures.h"

QT_BEGIN_NAMESPACE
class QChart;
QT_END_NAMESPACE

namespace nlayer::fit {

// The two charts of the picture, new and unowned: the counts with the model of the fit range on
// a logarithmic axis, and the residuals of the fit range with the zero line, both over the
// whole time axis of the bins; the title is the caller's to show. Needs a QApplication and at
// least one bin.
struct FitCharts {
  QChart* counts = nullptr;
  QChart* residuals = nullptr;
};
FitCharts CreateFitCharts(const FitPicture& picture);

inline constexpr int kFitImageWidth = 800;
inline constexpr int kFitImageHeight = 640;

// Draws the picture at kFitImageWidth x kFitImageHeight without a display (a QApplication on
// the "offscreen" platform exists for the call when the process has none) and replaces `path`
// with it only once it is complete. Throws std::runtime_error naming the file on an unknown
// suffix or a failed write.
void WriteFitImage(const FitPicture& picture, const std::filesystem::path& path);

// The pictures of a joint fit's curves, each in a cell of kFitImageWidth x kFitImageHeight, two
// cells a row (one for a single curve).
void WriteFitImages(const std::vector<FitPicture>& pictures, const std::filesystem::path& path);

}  // namespace nlayer::fit
