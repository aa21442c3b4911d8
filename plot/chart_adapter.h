// The main window's chart as the model sees it: eight line series that a run appends points to
// (see ChartSink). All Qt Charts code of the program lives behind this class, so the chart
// library can be replaced without touching the window or the model.
#pragma once

#include <QList>
#include <QPointF>
#include <QRectF>
#include <QSizeF>
#include <QString>
#include <QtGlobal>

#include <array>
#include <memory>

#include "app/chart_sink.h"

QT_BEGIN_NAMESPACE
class QChart;
class QFont;
class QChartView;
class QLineSeries;
class QValueAxis;
class QWidget;
QT_END_NAMESPACE

namespace nlayer::ui {

// The window's and the chart's typeface, Courier New at `pixels` (a monospaced substitute where
// it is missing).
QFont CourierNew(int pixels, bool bold = false);

// The chart's size in the window's stored layout, pixels; also the size of an exported image.
inline constexpr int kChartWidth = 497;
inline constexpr int kChartHeight = 305;

// A chart with the stored settings: flat, no title, 2 % margins, an unfilled plot area framed in
// silver, the axes "t[ps]" (bottom) and "eflectance [mm^-2 ps^-1] " (left, log10 values, one
// label per decade), and eight empty series Series1 ... Series8 in their fixed colours. After
// every append the axes cover all points of all series with round bounds (the left axis in
// whole decades); an empty chart shows 0 ... 6000 ps and 1e-14 ... 1e-7. The left axis never
// elides a label: where the plot is too low for a label per decade, it labels every second
// (third, ...) decade instead, with a minor tick at each decade between.
//
// Needs a QApplication. Not copyable.
class ChartAdapter final : public ChartSink {
 public:
  ChartAdapter();
  ~ChartAdapter() override;
  ChartAdapter(const ChartAdapter&) = delete;
  ChartAdapter& operator=(const ChartAdapter&) = delete;

  // The widget that shows the chart, with `parent` as its parent (or none). The view takes the
  // chart over and deletes it; call this at most once. The adapter must not outlive the view.
  QChartView* CreateView(QWidget* parent);

  QChart* Chart() const { return chart_; }
  // Series number `series`, 0 ... 7 (asserted).
  QLineSeries* Series(int series) const;
  QValueAxis* AxisX() const { return axis_x_; }
  QValueAxis* AxisY() const { return axis_y_; }

  // The plotted points of all series as tab-separated text, a line per point, '\n' after each:
  // a header line, then for every non-empty series in order its points as "series number
  // (1 ... 8), x, y", numbers in the shortest form that reads back exactly, with a decimal point
  // whatever the locale.
  QString PointsAsText() const;

  // Empties every series and forgets their legend names: the axes return to those of an empty
  // chart, as at the start.
  void Clear();

  // The legend: hidden at the start; when shown, it lists, in series order, the series given a
  // name here (and no other). It lies over a corner of the plot area that no curve crosses, the
  // top right one where that is free; where every corner is crossed, under the time axis, in
  // room the plot gives up for it (names wider than the chart are then shortened, with the
  // whole name as the entry's tool tip). Where that room would exceed 30 % of the plot's height,
  // it lies over the corner that the fewest curve segments cross instead.
  void NameSeries(int series, const QString& name);
  // The name given to `series`, empty when none.
  QString SeriesName(int series) const;
  void SetLegendVisible(bool visible);
  bool LegendVisible() const { return legend_visible_; }
  enum class LegendPlace { kTopRight, kTopLeft, kBottomRight, kBottomLeft, kBelow };
  LegendPlace Place() const { return place_; }

  // Zoom: the axes show `area` (chart coordinates within the plot area, as a rubber band on the
  // view draws it) until ResetZoom, whatever points are appended meanwhile; their labels follow
  // the span shown. ResetZoom returns to the axes that fit all points.
  void ZoomIn(const QRectF& area);
  void ResetZoom();
  bool Zoomed() const { return zoomed_; }

  // The left axis shows log10 of the reflectance (the start) or, with `log` false, the
  // reflectance itself from 0. The series then hold the reflectance; PointsAsText stays log10.
  void SetLogScale(bool log);
  bool LogScale() const { return log_scale_; }

  // Decades between two labels of the left axis (1 unless a label per decade cannot fit).
  int LeftLabelStep() const { return left_label_step_; }

 protected:
  // Appends with an empty label and no colour of its own, then fits the axes to the points. A
  // point with a NaN or infinite coordinate cannot be drawn and is dropped.
  void AppendToSeries(int series, double x, double y) override;

 private:
  void ConfigureChart();
  void CreateAxes();
  void CreateSeries();
  void FitAxesToPoints();
  void FitLeftAxis(double low, double high);
  void LabelZoomedAxes();
  // With `reconsider`, a legend below the plot is tried over it again.
  void PlaceLegend(bool reconsider = false);
  int CurveSegmentsIn(const QRectF& area) const;  // segments between drawn points that cross it
  void UpdateMargins();
  void ReleaseLegendRoom();  // the legend over the plot again, the plot at its full size
  QPointF Shown(const QPointF& log_point) const;

  std::unique_ptr<QChart> owned_chart_;  // until a view takes the chart over
  QChart* chart_;
  QValueAxis* axis_x_ = nullptr;  // owned by the chart
  QValueAxis* axis_y_ = nullptr;
  std::array<QLineSeries*, kSeriesCount> series_{};  // owned by the chart

  // Bounds of all finite points appended so far; meaningful once has_points_ is set.
  bool has_points_ = false;
  double x_min_ = 0, x_max_ = 0, y_min_ = 0, y_max_ = 0;
  int left_label_step_ = 1;

  std::array<bool, kSeriesCount> named_{};  // listed in the legend
  bool legend_visible_ = false;
  LegendPlace place_ = LegendPlace::kTopRight;
  bool placing_ = false;
  qreal legend_room_ = 0;  // pixels the chart's bottom margin keeps for a legend below the plot
  QSizeF placed_in_;       // the chart's size when the legend was last placed

  std::array<QList<QPointF>, kSeriesCount> log_points_;  // every series as appended, log10
  bool zoomed_ = false;
  bool log_scale_ = true;
};

}  // namespace nlayer::ui
