// The main window Form1: the "Start!" button, the chart of up to eight runs, and the two
// handlers of the window's stored layout.
#pragma once

#include <QElapsedTimer>
#include <QWidget>

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/run.h"
#include "nlayer/moments.h"
#include "plot/chart_adapter.h"

QT_BEGIN_NAMESPACE
class QAction;
class QChartView;
class QLabel;
class QLineSeries;
class QPushButton;
class QTableWidget;
QT_END_NAMESPACE

namespace nlayer::ui {

// Controls at their stored places and sizes; the chart grows and shrinks with the window, keeping
// its stored distances from the window's edges. Every handler runs through CallHandler, so a
// failure shows the error box and leaves the window usable.
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
  // its warnings in the title bar and in a note under the chart until the next run.
  void Button1Click();

  // The chart's context menu, beyond the stored layout.
  QAction* SaveImageAction;  // "Save image…": asks for a file name, then SaveChartImage
  QAction* CopyDataAction;   // "Copy data": the plotted points to the clipboard as text
  QAction* LegendAction;     // "Legend", checkable, off at the start: ShowLegend
  QAction* ClearChartAction;  // "Clear chart": ClearChart
  QAction* EditModelAction;  // "Edit model…": EditModel
  QAction* RenameCurveAction;  // "Rename curve…": asks which curve and its new name
  QAction* CurvesAction;       // "Curves…": ShowCurvesPanel
  QAction* ResetZoomAction;    // "Reset zoom": the axes that fit every curve (a rubber band zooms)
  QAction* LogScaleAction;     // "Log scale", checkable, on at the start: SetLogScale
  QAction* FitAction;          // "Fit measured curve…": the fit dialog on "input.dat"

  // Writes the chart as it is shown to `path`, PNG or SVG by suffix (see WriteWidgetImage).
  void SaveChartImage(const std::filesystem::path& path);
  // Puts ChartAdapter::PointsAsText on the clipboard.
  void CopyChartData();
  // Shows or hides the legend, which names every drawn series "<run>: <model file>, ρ = <rho> mm",
  // followed by what differs from the model of the run drawn before it (ModelChanges).
  void ShowLegend(bool visible);
  // Empties every series and sets RunIndex to -1 as FormCreate does: the next run draws in
  // Series1, in red, as after a restart.
  void ClearChart();
  // The model dialog on "input.dat" of the working directory, modal.
  void EditModel();
  // The fit dialog, its model from "input.dat" of the working directory, modal.
  void FitMeasuredCurve();

  // Gives the curve of chart series `series` (0 ... 7) the legend name `name`; an empty name
  // returns to the one the run gave it. Nothing for a series that has drawn nothing.
  void RenameCurve(int series, const QString& name);
  // The legend name of series `series`, empty when it has none.
  QString CurveName(int series) const { return chart_.SeriesName(series); }

  // The window "Curves": a row per drawn curve with its legend name and the moments of its run's
  // model at its rho (nlayer::ModelMoments): the continuous-wave reflectance, the mean time of
  // flight and the variance; a model the library refuses shows why instead. Made at the first
  // call; kept up to date with every run, rename and clear.
  void ShowCurvesPanel();
  QTableWidget* CurvesTable() const { return curves_table_; }  // null until first shown

  // The axis' scale and zoom (ChartAdapter).
  void SetLogScale(bool log);
  void ResetZoom();
  const ChartAdapter& Chart() const { return chart_; }
  ChartAdapter& Chart() { return chart_; }

  // The note under the chart with the last run's warnings, one line shortened to the chart's
  // width, all of them in its tool tip (after them the run's notes, ModelNotes); null until a run
  // had a warning. A run with notes only shows none: its notes are the curve's tool tip in the
  // Curves panel.
  QLabel* WarningNote() const { return warning_note_; }

  // The window title as stored: the title bar also carries the warnings of the last run's model.
  static const QString kCaption;

  // The window's runs: their counter, the last run's model and distance, its files.
  const RunSession& Session() const { return session_; }
  RunSession& Session() { return session_; }

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  // What the window knows of a drawn curve beyond its points.
  struct Curve {
    bool drawn = false;
    Medium medium;  // the layers the run computed
    long double rho = 0;
    QString run_name;  // the name the run gave it
    std::optional<Moments> moments;  // computed when the panel first lists it
    QString moments_problem;
    QString notes;  // the run's ModelNotes, "note: " lines, for the curve's tool tip
  };

  void LayOut();
  void CreateControls();
  void ConnectLegendMarkers();
  void AskAndRenameCurve(int series);
  void FillCurvesPanel();
  void CreateChartMenu();
  void AskAndSaveChartImage();
  // Names the series of the run that has just ended in the legend, when it drew anything.
  // The run's ModelNotes go into the curve's tool tip in the Curves panel.
  void NameRunSeries(const std::filesystem::path& input_path, const std::vector<std::string>& notes = {});
  // The red note under the chart and the title bar: the warnings only; `notes` join the note's
  // tool tip when it is shown.
  void ShowWarnings(const std::vector<std::string>& warnings, const std::vector<std::string>& notes = {});

  ChartAdapter chart_;
  RunSession session_;
  std::array<Curve, ChartSink::kSeriesCount> curves_;
  int last_drawn_ = -1;  // the series of the latest run that drew
  QLabel* warning_note_ = nullptr;
  QString warning_text_;  // the note's text before it is shortened to the chart's width
  QWidget* curves_panel_ = nullptr;
  QTableWidget* curves_table_ = nullptr;
  // Two clicks on one legend entry within the double-click interval rename it.
  QElapsedTimer marker_clicked_;
  int marker_series_ = -1;
};

// What differs between the models of two runs, for a legend entry: each changed value as
// "μa₄ 0.02 → 0.03" (the layer's number as a subscript; μs′, μa, n, d), a changed number of
// layers as "layers 4 → 5", at most `listed` of them and then "+k more"; empty when nothing
// differs.
QString ModelChanges(const Medium& before, const Medium& after, int listed = 3);

// The one main window of the program, made by Application::CreateForm (null before and after).
extern TForm1* Form1;

}  // namespace nlayer::ui
