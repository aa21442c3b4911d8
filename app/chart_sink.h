// What a run needs of the chart: append a point to one of eight line series. The model knows
// nothing else of the chart, so it stays free of any GUI library.
#pragma once

#include <array>
#include <utility>
#include <vector>

namespace nlayer {

class ChartSink {
 public:
  static constexpr int kSeriesCount = 8;

  virtual ~ChartSink() = default;

  // Appends the point (x, y) to series number `series` (0 .. 7), drawn in that series' own
  // colour. Any other number is a RunError "Listenindex überschreitet das Maximum (%d)" with
  // the number asked for, and nothing is appended.
  void AppendPoint(int series, double x, double y);

 protected:
  // Called only with 0 <= series < kSeriesCount.
  virtual void AppendToSeries(int series, double x, double y) = 0;
};

// Eight series kept in memory: the chart of the headless command and of the tests.
class MemoryChart final : public ChartSink {
 public:
  using Points = std::vector<std::pair<double, double>>;
  const Points& Series(int series) const { return series_.at(series); }

 protected:
  void AppendToSeries(int series, double x, double y) override;

 private:
  std::array<Points, kSeriesCount> series_;
};

}  // namespace nlayer
