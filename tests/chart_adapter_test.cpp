#include "plot/chart_adapter.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFontMetricsF>
#include <QGraphicsLayout>
#include <QGraphicsScene>
#include <QGraphicsTextItem>
#include <QLocale>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLegend>
#include <QtCharts/QLegendMarker>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/run_error.h"

namespace nlayer::ui {
namespace {

using Points = std::vector<std::pair<double, double>>;

int TotalPoints(const ChartAdapter& chart) {
  int total = 0;
  for (int i = 0; i < ChartSink::kSeriesCount; ++i) total += chart.Series(i)->count();
  return total;
}

// The axes show every finite point of every series.
void ExpectAxesCover(const ChartAdapter& chart, const Points& points) {
  for (const auto& [x, y] : points) {
    EXPECT_LE(chart.AxisX()->min(), x);
    EXPECT_GE(chart.AxisX()->max(), x);
    EXPECT_LE(chart.AxisY()->min(), y);
    EXPECT_GE(chart.AxisY()->max(), y);
  }
}

bool IsWhole(double value) { return value == std::floor(value); }

TEST(ChartAdapter, AppendsToTheSeriesAskedFor) {
  ChartAdapter chart;
  chart.AppendPoint(2, 10, -8.5);
  chart.AppendPoint(2, 20, -8.25);
  chart.AppendPoint(7, 30, -9);
  ASSERT_EQ(chart.Series(2)->count(), 2);
  EXPECT_EQ(chart.Series(2)->at(0), QPointF(10, -8.5));
  EXPECT_EQ(chart.Series(2)->at(1), QPointF(20, -8.25));
  ASSERT_EQ(chart.Series(7)->count(), 1);
  EXPECT_EQ(chart.Series(7)->at(0), QPointF(30, -9));
  EXPECT_EQ(TotalPoints(chart), 3);
}

TEST(ChartAdapter, SeriesNumberOutsideTheChartIsAListIndexError) {
  ChartAdapter chart;
  for (const auto& [series, message] : {std::pair{8, "Listenindex überschreitet das Maximum (8)"},
                                        std::pair{-1, "Listenindex überschreitet das Maximum (-1)"},
                                        std::pair{100, "Listenindex überschreitet das Maximum (100)"}}) {
    try {
      chart.AppendPoint(series, 10, -8);
      ADD_FAILURE() << "no error for series " << series;
    } catch (const RunError& e) {
      EXPECT_STREQ(e.what(), message);
    }
  }
  EXPECT_EQ(TotalPoints(chart), 0);
}

TEST(ChartAdapter, EmptyChartShowsTheSpanOfARunAndSixDecadesBelowATypicalPeak) {
  ChartAdapter chart;
  EXPECT_EQ(chart.AxisX()->min(), 0);
  EXPECT_EQ(chart.AxisX()->max(), 6000);
  EXPECT_EQ(chart.AxisY()->min(), -14);
  EXPECT_EQ(chart.AxisY()->max(), -7);
}

TEST(ChartAdapter, AxesCoverAllPointsOfAllSeriesWithRoundBounds) {
  ChartAdapter chart;
  const Points first = {{10, -13.2}, {430, -7.93}, {5120, -10.4}};
  const Points second = {{200, -7.01}, {900, -13.99}};
  for (const auto& [x, y] : first) chart.AppendPoint(0, x, y);
  for (const auto& [x, y] : second) chart.AppendPoint(5, x, y);
  ExpectAxesCover(chart, first);
  ExpectAxesCover(chart, second);
  // The left axis in whole decades, no wider than the data needs.
  EXPECT_EQ(chart.AxisY()->min(), -14);
  EXPECT_EQ(chart.AxisY()->max(), -7);
  // The bottom axis ends on labels, at most one label step beyond the data on either side.
  const double step = chart.AxisX()->tickInterval();
  EXPECT_TRUE(IsWhole(chart.AxisX()->min() / step));
  EXPECT_TRUE(IsWhole(chart.AxisX()->max() / step));
  EXPECT_GT(chart.AxisX()->min(), 10 - step);
  EXPECT_LT(chart.AxisX()->max(), 5120 + step);
}

TEST(ChartAdapter, AxesShrinkFromTheDefaultToTheFirstPoints) {
  ChartAdapter chart;
  chart.AppendPoint(0, 100, -9.5);
  chart.AppendPoint(0, 300, -9.2);
  EXPECT_EQ(chart.AxisY()->min(), -10);
  EXPECT_EQ(chart.AxisY()->max(), -9);
  EXPECT_LE(chart.AxisX()->min(), 100);
  EXPECT_GE(chart.AxisX()->max(), 300);
  EXPECT_LT(chart.AxisX()->max() - chart.AxisX()->min(), 1000);
}

TEST(ChartAdapter, ASinglePointGetsARangeAroundIt) {
  ChartAdapter chart;
  chart.AppendPoint(3, 430, -8);
  ExpectAxesCover(chart, {{430, -8}});
  EXPECT_LT(chart.AxisX()->min(), chart.AxisX()->max());
  EXPECT_LT(chart.AxisY()->min(), chart.AxisY()->max());
}

TEST(ChartAdapter, ANonFinitePointIsNeitherDrawnNorStretchesTheAxes) {
  ChartAdapter chart;
  chart.AppendPoint(0, 100, -9.5);
  chart.AppendPoint(0, 200, -INFINITY);
  chart.AppendPoint(0, 300, NAN);
  EXPECT_EQ(chart.Series(0)->count(), 1);
  EXPECT_EQ(chart.AxisY()->min(), -10);
  EXPECT_EQ(chart.AxisY()->max(), -9);
}

TEST(ChartAdapter, SeriesHaveTheirColoursAndNoMarkers) {
  const QColor colours[] = {QColor(255, 0, 0),   QColor(0, 128, 0),     QColor(255, 0, 255),
                            QColor(0, 0, 255),   QColor(255, 255, 0),   QColor(255, 255, 255),
                            QColor(128, 128, 128), QColor(0, 128, 128)};
  ChartAdapter chart;
  ASSERT_EQ(chart.Chart()->series().size(), 8);
  for (int i = 0; i < ChartSink::kSeriesCount; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(chart.Chart()->series()[i], chart.Series(i));
    EXPECT_EQ(chart.Series(i)->pen().color(), colours[i]);
    EXPECT_FALSE(chart.Series(i)->pointsVisible());
    EXPECT_FALSE(chart.Series(i)->pointLabelsVisible());
    EXPECT_EQ(chart.Series(i)->count(), 0);
    EXPECT_EQ(chart.Series(i)->attachedAxes().size(), 2);
  }
}

TEST(ChartAdapter, ChartHasTheStoredSettings) {
  ChartAdapter chart;
  QChart& c = *chart.Chart();
  EXPECT_EQ(c.chartType(), QChart::ChartTypeCartesian);
  EXPECT_TRUE(c.title().isEmpty());
  EXPECT_FALSE(c.legend()->isVisible());
  EXPECT_TRUE(c.isPlotAreaBackgroundVisible());
  EXPECT_EQ(c.plotAreaBackgroundBrush().style(), Qt::NoBrush);
  EXPECT_EQ(c.plotAreaBackgroundPen().color(), QColor(192, 192, 192));
  ASSERT_EQ(c.axes(Qt::Horizontal).size(), 1);
  ASSERT_EQ(c.axes(Qt::Vertical).size(), 1);
  EXPECT_EQ(c.axes(Qt::Horizontal)[0], chart.AxisX());
  EXPECT_EQ(c.axes(Qt::Vertical)[0], chart.AxisY());
  EXPECT_EQ(chart.AxisX()->alignment(), Qt::AlignBottom);
  EXPECT_EQ(chart.AxisY()->alignment(), Qt::AlignLeft);
}

TEST(ChartAdapter, AxesHaveTheStoredTitlesAndFonts) {
  ChartAdapter chart;
  EXPECT_EQ(chart.AxisX()->titleText(), QStringLiteral("t[ps]"));
  EXPECT_EQ(chart.AxisY()->titleText(), QStringLiteral("eflectance [mm^-2 ps^-1] "));
  for (QValueAxis* axis : {chart.AxisX(), chart.AxisY()}) {
    EXPECT_EQ(axis->titleFont().family(), QStringLiteral("Courier New"));
    EXPECT_TRUE(axis->titleFont().bold());
    EXPECT_EQ(axis->titleFont().pixelSize(), 16);
    EXPECT_EQ(axis->titleBrush().color(), QColor(Qt::black));
    EXPECT_EQ(axis->labelsFont().family(), QStringLiteral("Courier New"));
    EXPECT_TRUE(axis->labelsFont().bold());
    EXPECT_EQ(axis->labelsFont().pixelSize(), 13);
    EXPECT_EQ(axis->labelsBrush().color(), QColor(Qt::black));
    EXPECT_TRUE(axis->isGridLineVisible());
  }
}

TEST(ChartAdapter, LeftAxisHasOneLabelPerDecadeAndTwoMinorTicks) {
  ChartAdapter chart;
  chart.AppendPoint(1, 100, -12.5);
  chart.AppendPoint(1, 200, -8.2);
  QValueAxis& y = *chart.AxisY();
  EXPECT_EQ(y.min(), -13);
  EXPECT_EQ(y.max(), -8);
  // Fixed ticks from -13 to -8 in steps of one: -13, -12, ..., -8.
  EXPECT_EQ(y.tickType(), QValueAxis::TicksFixed);
  EXPECT_EQ(y.tickCount(), 6);
  EXPECT_EQ(y.minorTickCount(), 2);
}

TEST(ChartAdapter, MarginsAreTwoPercentOfTheChartSize) {
  ChartAdapter chart;
  const std::unique_ptr<QChartView> view(chart.CreateView(nullptr));
  EXPECT_EQ(view->chart(), chart.Chart());
  view->setAttribute(Qt::WA_DontShowOnScreen);
  view->resize(497, 305);
  view->show();
  QCoreApplication::sendPostedEvents();
  EXPECT_EQ(chart.Chart()->size(), QSizeF(497, 305));
  // 2 % of 497 and of 305, rounded to whole pixels.
  EXPECT_EQ(chart.Chart()->margins(), QMargins(10, 6, 10, 6));
  view->resize(1000, 500);
  QCoreApplication::sendPostedEvents();
  EXPECT_EQ(chart.Chart()->margins(), QMargins(20, 10, 20, 10));
}

// The labels of the left axis shown on a chart of the stored size holding `points` in one
// series, bottom up; fails the test where two overlap or one is no number (elided: "...").
std::vector<int> ShownLeftLabels(const Points& points, int* step = nullptr) {
  ChartAdapter chart;
  const std::unique_ptr<QChartView> view(chart.CreateView(nullptr));
  view->setAttribute(Qt::WA_DontShowOnScreen);
  view->resize(497, 305);
  view->show();
  for (const auto& [x, y] : points) chart.AppendPoint(0, x, y);
  for (int i = 0; i < 3; ++i) QCoreApplication::sendPostedEvents();  // the label step follows the layout
  if (step != nullptr) *step = chart.LeftLabelStep();
  std::vector<std::pair<double, int>> labels;  // by height on the screen
  std::vector<QRectF> boxes;
  for (QGraphicsItem* item : chart.Chart()->scene()->items()) {
    auto* text = dynamic_cast<QGraphicsTextItem*>(item);
    if (text == nullptr || !text->isVisible() || text->rotation() != 0 || text->toPlainText().isEmpty() ||
        text->sceneBoundingRect().right() > chart.Chart()->plotArea().left()) {
      continue;
    }
    bool number = false;
    labels.emplace_back(-text->sceneBoundingRect().center().y(), text->toPlainText().toInt(&number));
    EXPECT_TRUE(number) << text->toPlainText().toStdString();
    for (const QRectF& other : boxes) EXPECT_FALSE(other.intersects(text->sceneBoundingRect()));
    boxes.push_back(text->sceneBoundingRect());
  }
  std::sort(labels.begin(), labels.end());
  std::vector<int> values;
  for (const auto& label : labels) values.push_back(label.second);
  return values;
}

TEST(ChartAdapter, LeftAxisShowsALabelPerDecadeUpToTwelveDecades) {
  for (int decades = 1; decades <= 12; ++decades) {
    SCOPED_TRACE(decades);
    int step = 0;
    const std::vector<int> labels = ShownLeftLabels({{100, -6.0}, {400, -6.0 - decades}}, &step);
    std::vector<int> expected;
    for (int d = -6 - decades; d <= -6; ++d) expected.push_back(d);
    EXPECT_EQ(labels, expected);
    EXPECT_EQ(step, 1);
  }
}

TEST(ChartAdapter, LeftAxisLabelsEverySecondDecadeOrMoreOnlyWhenOnePerDecadeCannotFit) {
  int step = 0;
  const std::vector<int> labels = ShownLeftLabels({{100, 0.0}, {400, -30.0}}, &step);
  ASSERT_GT(step, 1);
  std::vector<int> expected;
  for (int d = -30; d <= 0; d += step) expected.push_back(d);
  EXPECT_EQ(labels, expected);
}

// Qt Charts elides an axis title longer than its axis.
TEST(ChartAdapter, LeftAxisTitleFitsItsAxisAtTheStoredSize) {
  ChartAdapter chart;
  const std::unique_ptr<QChartView> view(chart.CreateView(nullptr));
  view->setAttribute(Qt::WA_DontShowOnScreen);
  view->resize(497, 305);
  view->show();
  QCoreApplication::sendPostedEvents();
  const QFontMetricsF metrics(chart.AxisY()->titleFont());
  EXPECT_LE(metrics.horizontalAdvance(chart.AxisY()->titleText()), chart.Chart()->plotArea().height());
}

TEST(ChartAdapter, PointsAsTextListsEveryPlottedPointWithADecimalPoint) {
  const QLocale previous;
  QLocale::setDefault(QLocale::German);  // a decimal comma must not reach the text
  ChartAdapter chart;
  chart.AppendPoint(0, 10, -8.5);
  chart.AppendPoint(0, 20, -(0.1 + 0.2));  // needs all 17 digits to read back exactly
  chart.AppendPoint(2, 30, -1e-20);
  const QString text = chart.PointsAsText();
  QLocale::setDefault(previous);
  EXPECT_EQ(text.toStdString(), std::string("series\tt[ps]\tlog10 reflectance [mm^-2 ps^-1]\n"
                                 "1\t10\t-8.5\n"
                                 "1\t20\t-0.30000000000000004\n"
                                     "3\t30\t-1e-20\n"));
}

TEST(ChartAdapter, ClearEmptiesEverySeriesAndTheLegendListsOnlyNamedSeries) {
  ChartAdapter chart;
  chart.AppendPoint(0, 100, -9.5);
  chart.AppendPoint(2, 200, -20.5);
  chart.NameSeries(2, QStringLiteral("3: input.dat, ρ = 30 mm"));
  chart.SetLegendVisible(true);
  std::vector<QString> listed;
  for (QLegendMarker* marker : chart.Chart()->legend()->markers()) {
    if (marker->isVisible()) listed.push_back(marker->label());
  }
  EXPECT_EQ(listed, std::vector<QString>{QStringLiteral("3: input.dat, ρ = 30 mm")});

  chart.Clear();
  EXPECT_EQ(TotalPoints(chart), 0);
  EXPECT_EQ(chart.AxisY()->min(), -14);
  EXPECT_EQ(chart.AxisY()->max(), -7);
  EXPECT_FALSE(chart.Chart()->legend()->isVisible());  // nothing named any more
  chart.AppendPoint(0, 100, -9.5);
  EXPECT_EQ(chart.AxisY()->min(), -10);  // the earlier points no longer stretch the axes
}

TEST(ChartAdapter, PointsAsTextOfAnEmptyChartIsTheHeaderOnly) {
  ChartAdapter chart;
  EXPECT_EQ(chart.PointsAsText().toStdString(), "series\tt[ps]\tlog10 reflectance [mm^-2 ps^-1]\n");
}

}  // namespace
}  // namespace nlayer::ui
