#include "plot/fit_plot.h"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <QPainter>
#include <QPen>
#include <QGridLayout>
#include <QLabel>
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

namespace {

// One curve's cell: log counts above, residuals below. The two charts' plot areas are set to
// the same left and right edges, so that a time above stands over the same time below whatever
// width the axes' labels take.
QWidget* CurveCell(const FitPicture& picture, QWidget* parent, int width, int height) {
  const auto [counts_chart, residual_chart] = CreateFitCharts(picture);
  auto* cell = new QWidget(parent);
  auto* layout = new QVBoxLayout(cell);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  // The title as a label of its own and the legend inside the plot area: a chart whose plot
  // area is set leaves neither room of their own.
  constexpr int kTitleHeight = 28;
  const int title_height = picture.title.empty() ? 0 : kTitleHeight;
  if (!picture.title.empty()) {
    auto* title = new QLabel(QString::fromStdString(picture.title), cell);
    title->setAlignment(Qt::AlignCenter);
    QFont font = title->font();
    font.setBold(true);
    title->setFont(font);
    title->setFixedSize(width, kTitleHeight);
    layout->addWidget(title);
  }
  auto* top = new QChartView(counts_chart, cell);
  auto* bottom = new QChartView(residual_chart, cell);
  const int top_height = (height - title_height) * 3 / 5;
  const int bottom_height = height - title_height - top_height;
  top->setFixedSize(width, top_height);
  bottom->setFixedSize(width, bottom_height);
  for (QChartView* view : {top, bottom}) {
    view->setRenderHint(QPainter::Antialiasing);
    layout->addWidget(view);
  }
  constexpr int kLeft = 78, kRight = 18, kBelow = 52, kAbove = 10;
  const QRectF counts_area(kLeft, kAbove, width - kLeft - kRight, top_height - kAbove - kBelow);
  counts_chart->setPlotArea(counts_area);
  // Room above for the top tick's label.
  residual_chart->setPlotArea(QRectF(kLeft, 2 * kAbove, width - kLeft - kRight, bottom_height - 2 * kAbove - kBelow));
  // Top right, where the curves have fallen off on a log axis.
  QLegend* legend = counts_chart->legend();
  legend->detachFromChart();
  legend->setBackgroundVisible(true);
  legend->setBrush(QBrush(QColor(255, 255, 255, 230)));
  legend->setPen(QPen(QColor(180, 180, 180)));
  constexpr double kLegendWidth = 250, kLegendHeight = 28;
  legend->setGeometry(QRectF(counts_area.right() - kLegendWidth - 6, counts_area.top() + 6, kLegendWidth, kLegendHeight));
  legend->update();
  return cell;
}

}  // namespace

void WriteFitImage(const FitPicture& picture, const std::filesystem::path& path) {
  WriteFitImages({picture}, path);
}

void WriteFitImages(const std::vector<FitPicture>& pictures, const std::filesystem::path& path) {
  if (pictures.empty()) throw std::runtime_error("cannot draw the fit into " + path.string() + ": no curves");
  for (const FitPicture& picture : pictures) {
    if (picture.t_ps.empty()) throw std::runtime_error("cannot draw the fit into " + path.string() + ": no bins");
  }
  const plot::OffscreenApplication application(
      "nlayer-fit", "cannot draw the fit: the program's Qt application is not a QApplication");

  const int columns = pictures.size() == 1 ? 1 : 2;
  const int rows = static_cast<int>((pictures.size() + static_cast<std::size_t>(columns) - 1) / static_cast<std::size_t>(columns));
  QWidget canvas;
  canvas.setStyleSheet(QStringLiteral("background: white"));
  auto* grid = new QGridLayout(&canvas);
  grid->setContentsMargins(0, 0, 0, 0);
  grid->setSpacing(0);
  for (std::size_t i = 0; i < pictures.size(); ++i) {
    grid->addWidget(CurveCell(pictures[i], &canvas, kFitImageWidth, kFitImageHeight), static_cast<int>(i) / columns,
                    static_cast<int>(i) % columns);
  }
  canvas.resize(columns * kFitImageWidth, rows * kFitImageHeight);
  ui::WriteWidgetImage(canvas, path);
}

}  // namespace nlayer::fit
