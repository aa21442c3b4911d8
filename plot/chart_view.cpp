#include "plot/chart_view.h"

#include <QMouseEvent>
#include <QtCharts/QLegend>

namespace nlayer::ui {

ChartView::ChartView(QChart* chart, QWidget* parent) : QChartView(chart, parent) {
  setRubberBand(QChartView::RectangleRubberBand);
}

bool ChartView::OverLegend(const QPointF& position) const {
  const QLegend* legend = chart()->legend();
  return legend->isVisible() && legend->geometry().contains(chart()->mapFromScene(mapToScene(position.toPoint())));
}

void ChartView::mousePressEvent(QMouseEvent* event) {
  // A press on the legend reaches its markers (renaming a curve) instead of starting a band.
  if (event->button() == Qt::LeftButton && OverLegend(event->position())) {
    QGraphicsView::mousePressEvent(event);
    return;
  }
  banding_ = event->button() == Qt::LeftButton;
  QChartView::mousePressEvent(event);
}

void ChartView::mouseReleaseEvent(QMouseEvent* event) {
  // The right button opens the context menu; QChartView would also zoom out on its release.
  if (event->button() == Qt::RightButton) {
    QGraphicsView::mouseReleaseEvent(event);
    return;
  }
  const bool was_banding = banding_ && event->button() == Qt::LeftButton;
  banding_ = false;
  QChartView::mouseReleaseEvent(event);
  if (was_banding && on_zoomed_ && chart()->isZoomed()) on_zoomed_();
}

}  // namespace nlayer::ui
