// Pictures of the chart in files: PNG or SVG, chosen by the file name's suffix (".png" or
// ".svg", in any letter case). Used by the window's "Save image…" and by the headless command.
#pragma once

#include <QtGlobal>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "app/chart_sink.h"
#include "plot/pictures.h"

QT_BEGIN_NAMESPACE
class QWidget;
QT_END_NAMESPACE

namespace nlayer::ui {

// Draws the series of `chart` into the window's chart (the same settings, colours and axes, at
// the stored size of 497 x 305 pixels) and writes it to `path`. Works without a display: when
// the process has no QApplication yet, one on the "offscreen" platform exists for the duration
// of the call (the C locale is left as it was). Throws std::runtime_error naming the file on an
// unknown suffix, a QCoreApplication that is not a QApplication, or a failed write; the file is
// then left as it was.
void WriteChartImage(const MemoryChart& chart, const std::filesystem::path& path);

// The size of a picture of named curves, pixels: the window's chart leaves a legend beside
// the plot too little room, and Qt Charts then elides the axes' labels.
inline constexpr int kCurvesImageWidth = 800;
inline constexpr int kCurvesImageHeight = 500;

// Draws up to eight curves as WriteChartImage draws series (the window's chart settings and
// axes), each in a colour of its own that shows on the chart's white background (red, green,
// fuchsia, blue, teal, black, gray, olive), with a legend right of the plot naming them, at
// kCurvesImageWidth x kCurvesImageHeight, and writes the picture to `path` as WriteChartImage
// does. Throws std::invalid_argument for more than eight curves, otherwise as WriteChartImage.
void WriteCurvesImage(const std::vector<NamedCurve>& curves, const std::filesystem::path& path);

// Writes what `widget` shows, at its current size, to `path`; a widget never shown is laid out
// first without appearing on screen. Throws std::runtime_error as WriteChartImage.
void WriteWidgetImage(QWidget& widget, const std::filesystem::path& path);

}  // namespace nlayer::ui
