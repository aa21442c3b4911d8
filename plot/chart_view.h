// The view of the window's chart: QChartView with rubber-band zoom that tells when it has
// zoomed, and that leaves the right button and the legend to the context menu and the legend's
// own markers.
#pragma once

#include <QtCharts/QChartView>

#include <functional>

namespace nlayer::ui {

class ChartView final : public QChartView {
  Q_OBJECT

 public:
  ChartView(QChart* chart, QWidget* parent);

  // Called after a rubber band has zoomed the chart in.
  void OnZoomed(std::function<void()> callback) { on_zoomed_ = std::move(callback); }

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  bool OverLegend(const QPointF& position) const;

  std::function<void()> on_zoomed_;
  bool banding_ = false;
};

}  // namespace nlayer::ui
