#include "plot/chart_adapter.h"

#include <QFont>
#include <QFontMetricsF>
#include <QGraphicsLayout>
#include <QGuiApplication>
#include <QPalette>
#include <QLineF>
#include <QPen>
#include <QScopedValueRollback>
#include <QtMath>
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
#include <tuple>

#include "plot/chart_view.h"

namespace nlayer::ui {

QFont CourierNew(int pixels, bool bold) {
  QFont font(QStringLiteral("Courier New"));
  font.setStyleHint(QFont::TypeWriter);
  font.setPixelSize(pixels);
  font.setBold(bold);
  return font;
}

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
// The largest share of the plot's height that the legend may take below it.
constexpr qreal kMostRoomForLegend = 0.3;

void StyleAxis(QValueAxis& axis, const QString& title) {
  axis.setTitleText(title);
  axis.setTitleFont(CourierNew(kTitlePixels, true));
  axis.setTitleBrush(QBrush(Qt::black));
  axis.setLabelsFont(CourierNew(kLabelPixels, true));
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

// Decimals that tell labels `step` apart.
int Decimals(double step) { return std::max(0, -static_cast<int>(std::floor(std::log10(step) + 1e-9))); }

// Labels every multiple of a nice step within the axis' current range, which stays as it is.
void LabelWithin(QValueAxis& axis, const QString& format) {
  const double step = NiceStep(std::max(axis.max() - axis.min(), 1e-300));
  axis.setTickType(QValueAxis::TicksDynamic);
  axis.setTickAnchor(0);
  axis.setTickInterval(step);
  axis.setMinorTickCount(0);
  axis.setLabelFormat(format.isEmpty() ? QStringLiteral("%.%1f").arg(Decimals(step)) : format);
}

// True when the segment from `a` to `b` passes through `area`.
bool SegmentMeets(const QPointF& a, const QPointF& b, const QRectF& area) {
  if (area.contains(a) || area.contains(b)) return true;
  const QLineF segment(a, b);
  const QLineF edges[] = {{area.topLeft(), area.topRight()},
                          {area.topRight(), area.bottomRight()},
                          {area.bottomRight(), area.bottomLeft()},
                          {area.bottomLeft(), area.topLeft()}};
  for (const QLineF& edge : edges) {
    if (segment.intersects(edge, nullptr) == QLineF::BoundedIntersection) return true;
  }
  return false;
}

// The linear axis' labels: reflectances of order 1e-8 need an exponent.
const QString kLinearLabels = QStringLiteral("%.2g");

// Shows [first, last] on the bottom axis, widened outwards to multiples of a nice step, with a
// label at every multiple.
void FitBottomAxis(QValueAxis& axis, double first, double last) {
  const double span = last > first ? last - first : std::max(std::fabs(first), 1.0);
  const double step = NiceStep(span);
  const double min = std::floor(first / step) * step;
  double max = std::ceil(last / step) * step;
  if (max <= min) max = min + step;
  axis.setLabelFormat(QStringLiteral("%.%1f").arg(Decimals(step)));
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
  // The chart control's margins are a percentage of its size, so they follow every resize.
  QObject::connect(chart_, &QGraphicsWidget::geometryChanged, chart_, [this] { UpdateMargins(); });
}

void ChartAdapter::UpdateMargins() {
  const int horizontal = qRound(chart_->size().width() * kMarginPercent / 100);
  const int vertical = qRound(chart_->size().height() * kMarginPercent / 100);
  chart_->setMargins(QMargins(horizontal, vertical, horizontal, vertical + qCeil(legend_room_)));
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
    const auto axes = [this] {
      return std::tuple(axis_y_->min(), axis_y_->max(), axis_y_->tickCount(), axis_x_->min(), axis_x_->max());
    };
    const auto before = axes();
    FitAxesToPoints();
    // Axes changed within a layout pass keep labels that pass hid for the old ones; one more
    // pass, once this one has ended, shows them.
    if (axes() != before) {
      QMetaObject::invokeMethod(chart_, [this] { chart_->layout()->invalidate(); }, Qt::QueuedConnection);
    }
    // A resized chart may have room for the legend over the plot again; a plot resized by the
    // legend's own room must not move it back and forth.
    const bool resized = chart_->size() != placed_in_;
    placed_in_ = chart_->size();
    PlaceLegend(resized);
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
  auto* view = new ChartView(owned_chart_.release(), parent);
  view->setFrameShape(QFrame::NoFrame);
  view->OnZoomed([this] {
    zoomed_ = true;
    LabelZoomedAxes();
    PlaceLegend(true);
  });
  return view;
}

QLineSeries* ChartAdapter::Series(int series) const {
  assert(series >= 0 && series < kSeriesCount);
  return series_[series];
}

void ChartAdapter::AppendToSeries(int series, double x, double y) {
  // Qt Charts refuses NaN and infinities with a warning; they reach neither series nor axes.
  if (!std::isfinite(x) || !std::isfinite(y)) return;
  log_points_[series].append(QPointF(x, y));
  series_[series]->append(Shown(QPointF(x, y)));
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
  if (!log_scale_) {
    // From no light to the highest peak, on whole multiples of a nice step.
    const double top = std::pow(10.0, high);
    const double step = NiceStep(top);
    axis_y_->setTickType(QValueAxis::TicksDynamic);
    axis_y_->setTickAnchor(0);
    axis_y_->setTickInterval(step);
    axis_y_->setMinorTickCount(0);
    axis_y_->setLabelFormat(kLinearLabels);
    axis_y_->setRange(0, std::max(std::ceil(top / step) * step, step));
    left_label_step_ = 1;
    return;
  }
  axis_y_->setTickType(QValueAxis::TicksFixed);
  axis_y_->setLabelFormat(QStringLiteral("%.0f"));
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

QPointF ChartAdapter::Shown(const QPointF& log_point) const {
  return log_scale_ ? log_point : QPointF(log_point.x(), std::pow(10.0, log_point.y()));
}

void ChartAdapter::LabelZoomedAxes() {
  LabelWithin(*axis_x_, QString());
  LabelWithin(*axis_y_, log_scale_ ? QString() : kLinearLabels);
}

void ChartAdapter::ZoomIn(const QRectF& area) {
  chart_->zoomIn(area);
  zoomed_ = true;
  LabelZoomedAxes();
  PlaceLegend(true);
}

void ChartAdapter::ResetZoom() {
  chart_->zoomReset();
  zoomed_ = false;
  FitAxesToPoints();
  PlaceLegend(true);
}

void ChartAdapter::SetLogScale(bool log) {
  if (log == log_scale_) return;
  log_scale_ = log;
  chart_->zoomReset();
  zoomed_ = false;
  for (int i = 0; i < kSeriesCount; ++i) {
    QList<QPointF> shown;
    shown.reserve(log_points_[i].size());
    for (const QPointF& point : log_points_[i]) shown.append(Shown(point));
    series_[i]->replace(shown);
  }
  FitAxesToPoints();
  PlaceLegend(true);
}

void ChartAdapter::FitAxesToPoints() {
  if (zoomed_) {
    LabelZoomedAxes();
    return;
  }
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
    log_points_[i].clear();
  }
  named_.fill(false);
  has_points_ = false;
  ReleaseLegendRoom();
  chart_->zoomReset();
  zoomed_ = false;
  FitAxesToPoints();
  PlaceLegend(true);
}

void ChartAdapter::NameSeries(int series, const QString& name) {
  assert(series >= 0 && series < kSeriesCount);
  series_[series]->setName(name);
  named_[series] = true;
  PlaceLegend(true);
}

QString ChartAdapter::SeriesName(int series) const {
  assert(series >= 0 && series < kSeriesCount);
  return named_[series] ? series_[series]->name() : QString();
}

void ChartAdapter::SetLegendVisible(bool visible) {
  legend_visible_ = visible;
  QLegend& legend = *chart_->legend();
  if (visible) {
    // Over the plot rather than beside it: the plot keeps its size, and with it the labels'
    // room. Curves fall from their early peak, which leaves the top right corner mostly empty.
    legend.detachFromChart();
    legend.setAlignment(Qt::AlignLeft);  // a column of entries, over the plot or under it
    legend.setFont(axis_x_->labelsFont());
    legend.setLabelColor(Qt::black);
    legend.setBackgroundVisible(true);
    legend.setBrush(QBrush(Qt::white));
    legend.setPen(QPen(QColor(kSilver), 1));
    legend.setZValue(1000);  // above the series
    legend.setShowToolTips(true);  // the whole name where a legend below the plot shortens it
    place_ = LegendPlace::kTopRight;
    PlaceLegend();
  } else {
    legend.hide();
    ReleaseLegendRoom();
  }
}

void ChartAdapter::ReleaseLegendRoom() {
  place_ = LegendPlace::kTopRight;
  if (legend_room_ == 0) return;
  legend_room_ = 0;
  UpdateMargins();
}

int ChartAdapter::CurveSegmentsIn(const QRectF& area) const {
  int count = 0;
  for (QLineSeries* series : series_) {
    const QList<QPointF> points = series->points();
    if (points.isEmpty()) continue;
    QPointF previous = chart_->mapToPosition(points.front(), series);
    if (points.size() == 1) count += area.contains(previous);
    for (qsizetype i = 1; i < points.size(); ++i) {
      const QPointF next = chart_->mapToPosition(points[i], series);
      count += SegmentMeets(previous, next, area);
      previous = next;
    }
  }
  return count;
}

void ChartAdapter::PlaceLegend(bool reconsider) {
  if (!legend_visible_ || placing_) return;
  // Moving the legend can change the plot area, which calls back here.
  const QScopedValueRollback<bool> placing(placing_, true);
  QLegend& legend = *chart_->legend();
  int rows = 0;
  for (int i = 0; i < kSeriesCount; ++i) {
    for (QLegendMarker* marker : legend.markers(series_[i])) marker->setVisible(named_[i]);
    rows += named_[i];
  }
  legend.setVisible(rows > 0);
  if (rows == 0) {
    ReleaseLegendRoom();
    return;
  }
  // A detached legend is laid out only when given a geometry. Its size hint is that of its
  // widest entry on one row, whatever the number of rows (Qt 6.4), so the rows are added here.
  legend.layout()->invalidate();
  const QSizeF hint = legend.effectiveSizeHint(Qt::PreferredSize);
  qreal left = 0, top = 0, right = 0, bottom = 0;
  legend.layout()->getContentsMargins(&left, &top, &right, &bottom);
  const QSizeF size(hint.width(), top + bottom + rows * (hint.height() - top - bottom));
  QRectF plot = chart_->plotArea();
  const auto below = [&] {
    // In the room the chart's bottom margin keeps for it, under the time axis' title.
    // (A chart without a view has no width at all and shows the whole legend.)
    const qreal room = chart_->size().width() - plot.left();
    const qreal width = room > 0 ? std::min(size.width(), room) : size.width();
    legend.setGeometry(QRectF(QPointF(plot.left(), chart_->size().height() - legend_room_), QSizeF(width, size.height())));
    legend.update();
  };
  if (place_ == LegendPlace::kBelow) {
    // Only when the curves, names, axes or the chart's size change, so that it cannot go to and fro.
    if (!reconsider) return below();
    plot.setBottom(plot.bottom() + legend_room_);  // the plot as it is without the room
  }
  // Curves fall from their early peak, which leaves the top right corner mostly empty.
  const std::pair<LegendPlace, QPointF> corners[] = {
      {LegendPlace::kTopRight, QPointF(plot.right() - kLegendInset - size.width(), plot.top() + kLegendInset)},
      {LegendPlace::kTopLeft, QPointF(plot.left() + kLegendInset, plot.top() + kLegendInset)},
      {LegendPlace::kBottomRight,
       QPointF(plot.right() - kLegendInset - size.width(), plot.bottom() - kLegendInset - size.height())},
      {LegendPlace::kBottomLeft, QPointF(plot.left() + kLegendInset, plot.bottom() - kLegendInset - size.height())},
  };
  const bool fits = size.width() + 2 * kLegendInset <= plot.width() && size.height() + 2 * kLegendInset <= plot.height();
  const qreal room = size.height() + kLegendInset;
  // Below a small plot the legend would leave too little of it: it then takes the corner that
  // the fewest curve segments cross.
  const bool room_below = room <= kMostRoomForLegend * plot.height();
  int fewest = -1;
  QRectF least_crossed;
  LegendPlace least_crossed_place = LegendPlace::kTopRight;
  for (const auto& [place, origin] : corners) {
    const QRectF area(origin, size);
    const int crossing = fits ? CurveSegmentsIn(area) : -1;
    if (crossing == 0 || (!room_below && fits && (fewest < 0 || crossing < fewest))) {
      fewest = crossing;
      least_crossed = area;
      least_crossed_place = place;
      if (crossing == 0) break;
    }
  }
  if (fewest >= 0) {
    ReleaseLegendRoom();
    place_ = least_crossed_place;
    legend.setGeometry(least_crossed);
    legend.update();
    return;
  }
  place_ = LegendPlace::kBelow;
  if (legend_room_ != room) {
    legend_room_ = room;
    UpdateMargins();
  }
  below();
}

QString ChartAdapter::PointsAsText() const {
  QString text = QStringLiteral("series\tt[ps]\tlog10 reflectance [mm^-2 ps^-1]\n");
  for (int i = 0; i < kSeriesCount; ++i) {
    const QString number = QString::number(i + 1);
    for (const QPointF& point : log_points_[i]) {
      text += number + u'\t' + NumberText(point.x()) + u'\t' + NumberText(point.y()) + u'\n';
    }
  }
  return text;
}

}  // namespace nlayer::ui
