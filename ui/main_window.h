// The main window Form1: the "Start!" button, the chart of up to eight runs, and the two
// handlers of the window's stored layout.
#pragma once

#include <QWidget>

#include <filesystem>
#include <string>
#include <vector>

#include "app/run.h"
#include "plot/chart_adapter.h"

QT_BEGIN_NAMESPACE
class QAction;
class QChartView;
class QLineSeries;
class QPushButton;
QT_END_NAMESPACE

namespace nlayer::ui {

// Controls at fixed places and sizes (no layout: resizing the window moves nothing). Every
// handler runs through CallHandler, so a failure shows the error box and leaves the window
// usable.
class TForm1 final : public QWidget {
  Q_OBJECT

 public:
  // Builds the window from its stored layout, then runs FormCreate.
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  QPushButton* Button1;
  QChartView* Chart1;
  QLineSeries* Series1;
  QLineSeries* Series2;
  QLineSeries* Series3;
  QLineSeries* Series4;
  QLineSeries* Series5;
  QLineSeries* Series6;
  QLineSeries* Series7;
  QLineSeries* Series8;

  // The window's creation: the session's RunIndex := -1, so the first run draws into Series1.
  void FormCreate();
  // A click on Button1: one whole run of the window's session, synchronously; the window
  // neither repaints nor reacts until it has ended. A failure leaves as nlayer::RunError, which is also FailureDetails where
  // the model file tells what caused it. A model without physical meaning runs as it is, with
  // its warnings in the title bar until the next run.
  void Button1Click();

  // The chart's context menu, beyond the stored layout.
  QAction* SaveImageAction;  // "Save image…": asks for a file name, then SaveChartImage
  QAction* CopyDataAction;   // "Copy data": the plotted points to the clipboard as text
  QAction* LegendAction;     // "Legend", checkable, off at the start: ShowLegend
  QAction* ClearChartAction;  // "Clear chart": ClearChart
  QAction* EditModelAction;  // "Edit model…": EditModel

  // Writes the chart as it is shown to `path`, PNG or SVG by suffix (see WriteWidgetImage).
  void SaveChartImage(const std::filesystem::path& path);
  // Puts ChartAdapter::PointsAsText on the clipboard.
  void CopyChartData();
  // Shows or hides the legend, which names every drawn series "<run>: <model file>, ρ = <rho> mm".
  void ShowLegend(bool visible);
  // Empties every series and sets RunIndex to -1 as FormCreate does: the next run draws in
  // Series1, in red, as after a restart.
  void ClearChart();
  // The model dialog on "input.dat" of the working directory, modal.
  void EditModel();

  // The window title as stored: the title bar also carries the warnings of the last run's model.
  static const QString kCaption;

  // The window's runs: their counter, the last run's model and distance, its files.
  const RunSession& Session() const { return session_; }
  RunSession& Session() { return session_; }

 private:
  void CreateControls();
  void CreateChartMenu();
  void AskAndSaveChartImage();
  // Names the series of the run that has just ended in the legend, when it drew anything.
  void NameRunSeries(const std::filesystem::path& input_path);
  void ShowWarnings(const std::vector<std::string>& warnings);

  ChartAdapter chart_;
  RunSession session_;
};

// The one main window of the program, made by Application::CreateForm (null before and after).
extern TForm1* Form1;

}  // namespace nlayer::ui
