#include "plot/chart_adapter.h"

#include <QFont>
#include <QFontMetricsF>
#include <QGraphicsLayout>
#include <QGuiApplication>
#include <QPalette>
#include <QPen>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLegend>
#include <QtCharts/QLegendMarker>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>

#include <algorithm>
#include <array>
#include <cassert>
#include <cmath>

namespace nlayer::ui {

namespace {

constexpr std::array<QRgb, ChartSink::kSeriesCount> kSeriesColours = {
    qRgb(255, 0, 0),      // red
    qRgb(0, 128, 0),      // green
    qRgb(255, 0, 255),    // fuchsia
    qRgb(0, 0, 255),      // blue
    qRgb(255, 255, 0),    // yellow
    qRgb(255, 255, 255),  // white
    qRgb(128, 128, 128),  // gray
    qRgb(0, 128, 128),    // teal
};
constexpr QRgb kSilver = qRgb(192, 192, 192);

constexpr double kMarginPercent = 2;  // of the chart's width (left, right) and height (top, bottom)
constexpr int kTitlePixels = 16;
constexpr int kLabelPixels = 13;

// Qt Charts elides an axis title longer than its axis, and the left title must be read whole.
// At 16 px its 25 characters need 240 px against about 238 px of axis at the stored chart
// size, so its letters move a quarter pixel closer together.
constexpr qreal kLeftTitleLetterSpacing = -0.25;

// The empty chart shows the span a run covers (10 ... 5120 ps) and the six decades below a
// typical peak of about 1e-8 mm^-2 ps^-1.
constexpr double kDefaultXFirst = 10, kDefaultXLast = 5120;
constexpr double kDefaultYMin = -14, kDefaultYMax = -7;

// At most this many intervals between labels of the bottom axis: enough labels to read a time
// off the curve, few enough that 13 px labels of four or five digits never collide at 497 px.
constexpr double kMaxXIntervals = 8;

constexpr int kMinorTicksPerDecade = 2;
// The legend's distance from the plot area's frame, pixels.
constexpr qreal kLegendInset = 6;

QFont ChartFont(int pixels) {
  QFont font(QStringLiteral("Courier New"));
  font.setStyleHint(QFont::TypeWriter);  // a monospaced substitute where Courier New is missing
  font.setPixelSize(pixels);
  font.setBold(true);
  return font;
}

void StyleAxis(QValueAxis& axis, const QString& title) {
  axis.setTitleText(title);
  axis.setTitleFont(ChartFont(kTitlePixels));
  axis.setTitleBrush(QBrush(Qt::black));
  axis.setLabelsFont(ChartFont(kLabelPixels));
  axis.setLabelsBrush(QBrush(Qt::black));
  axis.setGridLineVisible(true);
  axis.setMinorGridLineVisible(false);
}

// The smallest step 1, 2 or 5 times a power of ten that cuts `span` (> 0) into at most
// kMaxXIntervals intervals.
double NiceStep(double span) {
  const double rough = span / kMaxXIntervals;
  const double power = std::pow(10.0, std::floor(std::log10(rough)));
  for (double factor : {1.0, 2.0, 5.0}) {
    if (factor * power >= rough) return factor * power;
  }
  return 10 * power;
}

// Shows [first, last] on the bottom axis, widened outwards to multiples of a nice step, with a
// label at every multiple.
void FitBottomAxis(QValueAxis& axis, double first, double last) {
  const double span = last > first ? last - first : std::max(std::fabs(first), 1.0);
  const double step = NiceStep(span);
  const double min = std::floor(first / step) * step;
  double max = std::ceil(last / step) * step;
  if (max <= min) max = min + step;
  const int decimals = std::max(0, -static_cast<int>(std::floor(std::log10(step))));
  axis.setLabelFormat(QStringLiteral("%.%1f").arg(decimals));
  axis.setTickInterval(step);
  axis.setRange(min, max);
}

// Decades between labels of the left axis showing [low, high] (log10 values) on a plot
// `plot_height` pixels high: one unless the labels would then stand closer than their own
// height, which Qt Charts answers by hiding some. (Their text is never elided: see CreateAxes.)
int LabelStep(double low, double high, double plot_height, const QFont& font) {
  // A label's box is its line plus Qt Charts' text margins of half a pixel, and labels are
  // placed on whole pixels.
  const double label_height = QFontMetricsF(font).height() + 2;
  for (int step = 1;; ++step) {
    const double min = std::floor(low / step) * step;
    const double max = std::max(std::ceil(high / step) * step, min + step);
    if (plot_height <= 0 || plot_height * step / (max - min) >= label_height || max - min <= step) return step;
  }
}

// The chart control's margins are a percentage of its size, so they follow every resize.
void KeepMarginsProportional(QChart* chart) {
  QObject::connect(chart, &QGraphicsWidget::geometryChanged, chart, [chart] {
    const int horizontal = qRound(chart->size().width() * kMarginPercent / 100);
    const int vertical = qRound(chart->size().height() * kMarginPercent / 100);
    chart->setMargins(QMargins(horizontal, vertical, horizontal, vertical));
  });
}

QString NumberText(double value) { return QString::number(value, 'g', QLocale::FloatingPointShortest); }

}  // namespace

ChartAdapter::ChartAdapter() : owned_chart_(std::make_unique<QChart>()), chart_(owned_chart_.get()) {
  ConfigureChart();
  CreateAxes();
  CreateSeries();
  FitAxesToPoints();
}

ChartAdapter::~ChartAdapter() = default;

void ChartAdapter::ConfigureChart() {
  chart_->setTitle(QString());
  chart_->legend()->hide();
  chart_->setAnimationOptions(QChart::NoAnimation);
  chart_->setDropShadowEnabled(false);
  chart_->setBackgroundRoundness(0);
  chart_->setBackgroundBrush(QGuiApplication::palette().color(QPalette::Base));
  chart_->setBackgroundPen(Qt::NoPen);
  // The plot area is framed but not filled, so the chart's background shows through it.
  chart_->setPlotAreaBackgroundVisible(true);
  chart_->setPlotAreaBackgroundBrush(Qt::NoBrush);
  chart_->setPlotAreaBackgroundPen(QPen(QColor(kSilver), 1));
  chart_->layout()->setContentsMargins(0, 0, 0, 0);
  KeepMarginsProportional(chart_);
}

void ChartAdapter::CreateAxes() {
  axis_x_ = new QValueAxis;
  axis_y_ = new QValueAxis;
  chart_->addAxis(axis_x_, Qt::AlignBottom);
  chart_->addAxis(axis_y_, Qt::AlignLeft);
  // Styled after adding: adding an axis applies the chart theme's fonts and colours to it.
  StyleAxis(*axis_x_, QStringLiteral("t[ps]"));
  StyleAxis(*axis_y_, QStringLiteral("eflectance [mm^-2 ps^-1] "));
  axis_x_->setTickType(QValueAxis::TicksDynamic);
  axis_x_->setTickAnchor(0);
  QFont left_title = axis_y_->titleFont();
  left_title.setLetterSpacing(QFont::AbsoluteSpacing, kLeftTitleLetterSpacing);
  axis_y_->setTitleFont(left_title);
  // The left axis shows log10 values: a label at every whole number is one per decade.
  axis_y_->setTickType(QValueAxis::TicksFixed);
  axis_y_->setMinorTickCount(kMinorTicksPerDecade);
  axis_y_->setLabelFormat(QStringLiteral("%.0f"));
  // Qt Charts elides a label to "..." once the plot's height divided by the number of labels
  // leaves less than the label's height plus 8 px: from nine decades on at the stored size.
  // The labels fit at much less; LabelStep keeps them apart.
  axis_y_->setTruncateLabels(false);
  // The plot's height decides how many labels fit.
  QObject::connect(chart_, &QChart::plotAreaChanged, chart_, [this] {
    FitAxesToPoints();
    PlaceLegend();
  });
}

void ChartAdapter::CreateSeries() {
  for (int i = 0; i < kSeriesCount; ++i) {
    auto* series = new QLineSeries;
    series->setName(QStringLiteral("Series%1").arg(i + 1));
    chart_->addSeries(series);
    series->attachAxis(axis_x_);
    series->attachAxis(axis_y_);
    // Coloured after adding, for the same reason as the axes are styled after adding.
    series->setPen(QPen(QColor(kSeriesColours[i]), 1));
    series->setPointsVisible(false);
    series->setPointLabelsVisible(false);
    series_[i] = series;
  }
}

QChartView* ChartAdapter::CreateView(QWidget* parent) {
  assert(owned_chart_ && "the chart has already been given to a view");
  auto* view = new QChartView(owned_chart_.release(), parent);
  view->setFrameShape(QFrame::NoFrame);
  return view;
}

QLineSeries* ChartAdapter::Series(int series) const {
  assert(series >= 0 && series < kSeriesCount);
  return series_[series];
}

void ChartAdapter::AppendToSeries(int series, double x, double y) {
  // Qt Charts refuses NaN and infinities with a warning; they reach neither series nor axes.
  if (!std::isfinite(x) || !std::isfinite(y)) return;
  series_[series]->append(x, y);
  if (!has_points_) {
    x_min_ = x_max_ = x;
    y_min_ = y_max_ = y;
    has_points_ = true;
  } else if (x >= x_min_ && x <= x_max_ && y >= y_min_ && y <= y_max_) {
    return;
  }
  x_min_ = std::min(x_min_, x);
  x_max_ = std::max(x_max_, x);
  y_min_ = std::min(y_min_, y);
  y_max_ = std::max(y_max_, y);
  FitAxesToPoints();
}

// Shows [low, high] (log10 values) on the left axis in whole multiples of the label step, with
// a label at each. Fixed ticks rather than Qt's dynamic ones, which give the same labels but
// leave the labels too little room beside a long title.
void ChartAdapter::FitLeftAxis(double low, double high) {
  const int step = LabelStep(low, high, chart_->plotArea().height(), axis_y_->labelsFont());
  const double min = std::floor(low / step) * step;
  double max = std::ceil(high / step) * step;
  if (max <= min) max = min + step;
  left_label_step_ = step;
  axis_y_->setRange(min, max);
  axis_y_->setTickCount(static_cast<int>((max - min) / step) + 1);
  // Thirds of a decade between labels a decade apart, otherwise a tick at every decade.
  axis_y_->setMinorTickCount(step == 1 ? kMinorTicksPerDecade : step - 1);
}

void ChartAdapter::FitAxesToPoints() {
  if (has_points_) {
    FitBottomAxis(*axis_x_, x_min_, x_max_);
    FitLeftAxis(y_min_, y_max_);
  } else {
    FitBottomAxis(*axis_x_, kDefaultXFirst, kDefaultXLast);
    FitLeftAxis(kDefaultYMin, kDefaultYMax);
  }
}

void ChartAdapter::Clear() {
  for (int i = 0; i < kSeriesCount; ++i) {
    series_[i]->clear();
    series_[i]->setName(QStringLiteral("Series%1").arg(i + 1));
  }
  named_.fill(false);
  has_points_ = false;
  FitAxesToPoints();
  PlaceLegend();
}

void ChartAdapter::NameSeries(int series, const QString& name) {
  assert(series >= 0 && series < kSeriesCount);
  series_[series]->setName(name);
  named_[series] = true;
  PlaceLegend();
}

void ChartAdapter::SetLegendVisible(bool visible) {
  legend_visible_ = visible;
  QLegend& legend = *chart_->legend();
  if (visible) {
    // Over the plot rather than beside it: the plot keeps its size, and with it the labels'
    // room. Curves fall from their early peak, which leaves the top right corner mostly empty.
    legend.detachFromChart();
    legend.setAlignment(Qt::AlignRight);  // a column of entries
    legend.setFont(axis_x_->labelsFont());
    legend.setLabelColor(Qt::black);
    legend.setBackgroundVisible(true);
    legend.setBrush(QBrush(Qt::white));
    legend.setPen(QPen(QColor(kSilver), 1));
    legend.setZValue(1000);  // above the series
    PlaceLegend();
  } else {
    legend.hide();
  }
}

void ChartAdapter::PlaceLegend() {
  if (!legend_visible_) return;
  QLegend& legend = *chart_->legend();
  int rows = 0;
  for (int i = 0; i < kSeriesCount; ++i) {
    for (QLegendMarker* marker : legend.markers(series_[i])) marker->setVisible(named_[i]);
    rows += named_[i];
  }
  legend.setVisible(rows > 0);
  if (rows == 0) return;
  // A detached legend is laid out only when given a geometry. Its size hint is that of its
  // widest entry on one row, whatever the number of rows (Qt 6.4), so the rows are added here.
  legend.layout()->invalidate();
  const QSizeF hint = legend.effectiveSizeHint(Qt::PreferredSize);
  qreal left = 0, top = 0, right = 0, bottom = 0;
  legend.layout()->getContentsMargins(&left, &top, &right, &bottom);
  const QSizeF size(hint.width(), top + bottom + rows * (hint.height() - top - bottom));
  const QRectF plot = chart_->plotArea();
  legend.setGeometry(QRectF(QPointF(plot.right() - kLegendInset - size.width(), plot.top() + kLegendInset), size));
  legend.update();
}

QString ChartAdapter::PointsAsText() const {
  QString text = QStringLiteral("series\tt[ps]\tlog10 reflectance [mm^-2 ps^-1]\n");
  for (int i = 0; i < kSeriesCount; ++i) {
    const QString number = QString::number(i + 1);
    for (const QPointF& point : series_[i]->points()) {
      text += number + u'\t' + NumberText(point.x()) + u'\t' + NumberText(point.y()) + u'\n';
    }
  }
  return text;
}

}  // namespace nlayer::ui
