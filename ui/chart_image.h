// Pictures of the chart in files: PNG or SVG, chosen by the file name's suffix (".png" or
// ".svg", in any letter case). Used by the window's "Save image…" and by the headless command.
#pragma once

#include <QtGlobal>

#include <filesystem>

#include "app/chart_sink.h"

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

// Writes what `widget` shows, at its current size, to `path`; a widget never shown is laid out
// first without appearing on screen. Throws std::runtime_error as WriteChartImage.
void WriteWidgetImage(QWidget& widget, const std::filesystem::path& path);

}  // namespace nlayer::ui
