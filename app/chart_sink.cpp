#include "app/chart_sink.h"

#include "app/run_error.h"

namespace nlayer {

void ChartSink::AppendPoint(int series, double x, double y) {
  if (series < 0 || series >= kSeriesCount) ThrowListIndexError(series);
  AppendToSeries(series, x, y);
}

void MemoryChart::AppendToSeries(int series, double x, double y) {
  series_[series].emplace_back(x, y);
}

}  // namespace nlayer
