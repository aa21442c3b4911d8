#include "plot/fit_plot.h"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <QPainter>
#include <QPen>
#include <QVBoxLayout>
#include <QWidget>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLegend>
#include <QtCharts/QLineSeries>
#include <QtCharts/QLogValueAxis>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "plot/chart_image.h"
#include "plot/offscreen_application.h"

namespace nlayer::fit {

namespace {

QChart* NewChart() {
  auto* chart = new QChart;
  chart->setBackgroundRoundness(0);
  chart->setMargins(QMargins(4, 4, 4, 4));
  chart->legend()->setAlignment(Qt::AlignTop);
  chart->legend()->setLabelColor(Qt::black);
  return chart;
}

QValueAxis* TimeAxis(const FitPicture& picture) {
  auto* axis = new QValueAxis;
  axis->setTitleText(QStringLiteral("t (ps)"));
  axis->setRange(picture.t_ps.front(), picture.t_ps.back());
  axis->setLabelFormat(QStringLiteral("%.0f"));
  axis->applyNiceNumbers();
  return axis;
}

}  // namespace

FitCharts CreateFitCharts(const FitPicture& picture) {
  // Above: log counts. Bins without counts have no logarithm and are left out.
  QChart* counts_chart = NewChart();
  auto* measured = new QScatterSeries;
  measured->setName(QStringLiteral("measured"));
  measured->setMarkerSize(4.0);
  measured->setColor(QColor(90, 90, 90));
  measured->setBorderColor(QColor(90, 90, 90));
  auto* model = new QLineSeries;
  model->setName(QStringLiteral("model (fit range)"));
  model->setPen(QPen(QColor(220, 0, 0), 2));
  double highest = 1;
  for (std::size_t i = 0; i < picture.t_ps.size(); ++i) {
    if (picture.measured[i] > 0) measured->append(picture.t_ps[i], picture.measured[i]);
    highest = std::max(highest, picture.measured[i]);
    if (i >= picture.first_bin && i <= picture.last_bin && picture.model[i] > 0) {
      model->append(picture.t_ps[i], picture.model[i]);
    }
  }
  counts_chart->addSeries(measured);
  counts_chart->addSeries(model);
  auto* count_axis = new QLogValueAxis;
  count_axis->setBase(10);
  count_axis->setTitleText(QStringLiteral("counts per bin"));
  count_axis->setLabelFormat(QStringLiteral("%.0g"));
  count_axis->setRange(0.5, std::pow(10.0, std::ceil(std::log10(highest * 1.5))));
  counts_chart->addAxis(TimeAxis(picture), Qt::AlignBottom);
  counts_chart->addAxis(count_axis, Qt::AlignLeft);
  for (QAbstractSeries* series : counts_chart->series()) {
    series->attachAxis(counts_chart->axes(Qt::Horizontal).front());
    series->attachAxis(count_axis);
  }
  if (!picture.title.empty()) counts_chart->setTitle(QString::fromStdString(picture.title));

  // Below: residuals of the fit range, with the zero line.
  QChart* residual_chart = NewChart();
  auto* residuals = new QScatterSeries;
  residuals->setName(QStringLiteral("normalised residual"));
  residuals->setMarkerSize(4.0);
  residuals->setColor(QColor(0, 0, 200));
  residuals->setBorderColor(QColor(0, 0, 200));
  double reach = 3;
  for (std::size_t i = picture.first_bin; i <= picture.last_bin && i < picture.t_ps.size(); ++i) {
    if (!std::isfinite(picture.residuals[i])) continue;
    residuals->append(picture.t_ps[i], picture.residuals[i]);
    reach = std::max(reach, std::fabs(picture.residuals[i]));
  }
  auto* zero = new QLineSeries;
  zero->setPen(QPen(Qt::black, 1));
  zero->append(picture.t_ps.front(), 0);
  zero->append(picture.t_ps.back(), 0);
  residual_chart->addSeries(zero);
  residual_chart->addSeries(residuals);
  residual_chart->legend()->hide();
  auto* residual_axis = new QValueAxis;
  residual_axis->setTitleText(QStringLiteral("residual"));
  residual_axis->setLabelFormat(QStringLiteral("%.0f"));
  residual_axis->setTickCount(3);
  residual_axis->setRange(-std::ceil(reach), std::ceil(reach));
  residual_chart->addAxis(TimeAxis(picture), Qt::AlignBottom);
  residual_chart->addAxis(residual_axis, Qt::AlignLeft);
  for (QAbstractSeries* series : residual_chart->series()) {
    series->attachAxis(residual_chart->axes(Qt::Horizontal).front());
    series->attachAxis(residual_axis);
  }
  return {counts_chart, residual_chart};
}

void WriteFitImage(const FitPicture& picture, const std::filesystem::path& path) {
  if (picture.t_ps.empty()) throw std::runtime_error("cannot draw the fit into " + path.string() + ": no bins");
  const plot::OffscreenApplication application(
      "nlayer-fit", "cannot draw the fit: the program's Qt application is not a QApplication");
  const auto [counts_chart, residual_chart] = CreateFitCharts(picture);

  QWidget canvas;
  canvas.setStyleSheet(QStringLiteral("background: white"));
  auto* layout = new QVBoxLayout(&canvas);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  auto* top = new QChartView(counts_chart, &canvas);
  auto* bottom = new QChartView(residual_chart, &canvas);
  for (QChartView* view : {top, bottom}) view->setRenderHint(QPainter::Antialiasing);
  layout->addWidget(top, 3);
  layout->addWidget(bottom, 2);
  canvas.resize(kFitImageWidth, kFitImageHeight);
  ui::WriteWidgetImage(canvas, path);
}

}  // namespace nlayer::fit
