#include "plot/chart_image.h"

#include "io/output_file.h"

#include <QApplication>
#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QSvgGenerator>
#include <QWidget>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLegend>
#include <QtCharts/QLegendMarker>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>
#include <QPen>

#include <array>
#include <cctype>
#include <memory>
#include <stdexcept>
#include <string>

#include "plot/chart_adapter.h"
#include "plot/offscreen_application.h"

namespace nlayer::ui {

namespace {

enum class ImageFormat { kPng, kSvg };

[[noreturn]] void Fail(const std::filesystem::path& path, const std::string& reason) {
  throw std::runtime_error("cannot write the chart image " + path.string() + ": " + reason);
}

ImageFormat FormatOf(const std::filesystem::path& path) {
  std::string suffix = path.extension().string();
  for (char& c : suffix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (suffix == ".png") return ImageFormat::kPng;
  if (suffix == ".svg") return ImageFormat::kSvg;
  Fail(path, "unknown file type \"" + path.extension().string() + "\" (use .png or .svg)");
}

// The application of a picture drawn outside the window, named as the window program.
plot::OffscreenApplication ApplicationFor(const std::filesystem::path& path) {
  return plot::OffscreenApplication(
      "nlayer", "cannot write the chart image " + path.string() + ": charts need a QApplication");
}

// A window that has never been shown has had no resize event and has not laid out its content.
void LayOutUnshown(QWidget& widget) {
  if (widget.isVisible() || !widget.isWindow()) return;
  widget.setAttribute(Qt::WA_DontShowOnScreen);
  widget.show();
  QCoreApplication::sendPostedEvents();
}

QByteArray RenderPng(QWidget& widget, const std::filesystem::path& path) {
  const QImage image = widget.grab().toImage();
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  if (image.isNull() || !image.save(&buffer, "PNG")) Fail(path, "the PNG encoder failed");
  return bytes;
}

QByteArray RenderSvg(QWidget& widget, const std::filesystem::path& path) {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QSvgGenerator generator;
  generator.setOutputDevice(&buffer);
  // The stored layout is in pixels at 96 dpi, which is also what SVG readers take a pixel for.
  generator.setResolution(96);
  generator.setSize(widget.size());
  generator.setViewBox(QRect(QPoint(0, 0), widget.size()));
  generator.setTitle(QStringLiteral("nlayer chart"));
  QPainter painter;
  if (!painter.begin(&generator)) Fail(path, "the SVG generator failed");
  widget.render(&painter);
  painter.end();
  return bytes;
}

// All or nothing: the bytes go to a temporary file that replaces `path` only once complete and
// on the disk. (QSaveFile reported success on a full disk and left an empty file.)
void WriteFile(const std::filesystem::path& path, const QByteArray& bytes) {
  ReplaceFile(path, std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

}  // namespace

void WriteWidgetImage(QWidget& widget, const std::filesystem::path& path) {
  const ImageFormat format = FormatOf(path);
  LayOutUnshown(widget);
  WriteFile(path, format == ImageFormat::kPng ? RenderPng(widget, path) : RenderSvg(widget, path));
}

void WriteChartImage(const MemoryChart& chart, const std::filesystem::path& path) {
  FormatOf(path);  // an unknown suffix fails before any Qt machinery starts
  const plot::OffscreenApplication application = ApplicationFor(path);
  ChartAdapter adapter;
  for (int series = 0; series < ChartSink::kSeriesCount; ++series) {
    for (const auto& [x, y] : chart.Series(series)) adapter.AppendPoint(series, x, y);
  }
  const std::unique_ptr<QChartView> view(adapter.CreateView(nullptr));
  view->resize(kChartWidth, kChartHeight);
  WriteWidgetImage(*view, path);
}

void WriteCurvesImage(const std::vector<NamedCurve>& curves, const std::filesystem::path& path) {
  // The window's own series colours include yellow and white, which vanish on white.
  static constexpr std::array<QRgb, ChartSink::kSeriesCount> kColours = {
      qRgb(255, 0, 0), qRgb(0, 128, 0),   qRgb(255, 0, 255),   qRgb(0, 0, 255),
      qRgb(0, 128, 128), qRgb(0, 0, 0), qRgb(128, 128, 128), qRgb(128, 128, 0)};
  if (curves.size() > kColours.size()) {
    throw std::invalid_argument("a picture holds at most " + std::to_string(kColours.size()) + " curves, not " +
                                std::to_string(curves.size()));
  }
  FormatOf(path);
  const plot::OffscreenApplication application = ApplicationFor(path);
  ChartAdapter adapter;
  QChart& chart = *adapter.Chart();
  for (int i = 0; i < ChartSink::kSeriesCount; ++i) {
    QLineSeries& series = *adapter.Series(i);
    if (static_cast<std::size_t>(i) >= curves.size()) {
      for (QLegendMarker* marker : chart.legend()->markers(&series)) marker->setVisible(false);
      continue;
    }
    const NamedCurve& curve = curves[static_cast<std::size_t>(i)];
    for (const auto& [x, y] : curve.points) adapter.AppendPoint(i, x, y);
    series.setName(QString::fromStdString(curve.name));
    series.setPen(QPen(QColor(kColours[static_cast<std::size_t>(i)]), 1));
  }
  chart.legend()->setAlignment(Qt::AlignRight);
  chart.legend()->setFont(adapter.AxisX()->labelsFont());
  chart.legend()->setLabelColor(Qt::black);
  chart.legend()->show();
  const std::unique_ptr<QChartView> view(adapter.CreateView(nullptr));
  view->resize(kCurvesImageWidth, kCurvesImageHeight);
  WriteWidgetImage(*view, path);
}

}  // namespace nlayer::ui
