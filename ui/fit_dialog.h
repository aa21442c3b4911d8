// The dialog of the chart's "Fit measured curve…": a measured curve and its instrument response
// (the files nlayer-fit reads), the model of a model file with the parameters to fit, the fit in
// a worker thread, and its result in words, numbers and a chart.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QFutureWatcher>
#include <QTimer>

#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>

#include "io/model_file.h"
#include "nlayer/fit.h"

QT_BEGIN_NAMESPACE
class QChartView;
class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTableWidget;
class QTextBrowser;
QT_END_NAMESPACE

namespace nlayer::ui {

// Columns of FitDialog::ParameterTable: the parameter's name with its tick (free or not), its
// start value, and its bounds (empty: the library's defaults).
enum FitColumn { kFitNameColumn = 0, kFitStartColumn = 1, kFitLowerColumn = 2, kFitUpperColumn = 3 };

class FitDialog final : public QDialog {
  Q_OBJECT

 public:
  // The model comes from `model_path`, read and checked as nlayer-fit reads it. Where the files
  // "measured.csv" and "irf.csv" lie beside it, they are the measured curve and IRF offered.
  explicit FitDialog(std::filesystem::path model_path, QWidget* parent = nullptr);
  ~FitDialog() override;

  QLineEdit* MeasuredEdit;
  QLineEdit* IrfEdit;
  QLineEdit* RhoEdit;
  QTableWidget* ParameterTable;  // a row per mua<k> and musp<k>, then d1 for a stack
  QCheckBox* BackgroundCheck;    // a constant background per bin, fitted
  QPushButton* FitButton;
  QPushButton* CancelButton;   // stops a running fit
  QPushButton* SaveButton;     // "Save result…": FitResult::ToJson, once a fit has ended
  QProgressBar* Busy;          // moves while a fit runs
  QLabel* StatusLabel;         // what is going on, or why the fit could not start or failed
  QTextBrowser* ResultText;    // the estimates with their errors, the statistics, the flags
  QTableWidget* CorrelationTable;
  QChartView* CountsView;      // measured counts and the model, log axis
  QChartView* ResidualView;    // the normalised residuals, on the same time axis

  // Starts the fit of what the dialog shows in a worker thread and returns at once; false, with
  // the reason in StatusLabel, when the files or values cannot be fitted.
  bool StartFit();
  // Asks a running fit to stop; it ends within one model evaluation.
  void CancelFit();
  bool Running() const { return watcher_.isRunning(); }
  // The last fit's result; empty before one has ended, and after a failed or cancelled one.
  const std::optional<FitResult>& Result() const { return result_; }
  // Writes the result's JSON form to `path` as a whole (ReplaceFile). Throws std::runtime_error.
  void SaveResult(const std::filesystem::path& path) const;

 signals:
  // A fit has ended: with a result, a failure or at the user's request.
  void fitEnded();

 protected:
  void reject() override;  // Esc and Close: cancels a running fit first

 private:
  struct Outcome {
    std::optional<FitResult> result;
    std::string failure;
    bool cancelled = false;
  };

  // What the controls ask to fit, and how.
  struct Request {
    MeasuredCurve curve;
    Medium medium;
    std::vector<FitParameter> free;
    FitOptions options;
  };

  void CreateControls();
  void LoadModel();
  void Browse(QLineEdit* edit, const QString& title);
  Request BuildRequest() const;
  void Finish();
  void ShowResult(const Request& request, const FitResult& result);
  void AskAndSaveResult();
  void SetRunning(bool running);

  std::filesystem::path model_path_;
  std::optional<ModelFile> model_;
  std::optional<Request> running_request_;
  std::optional<FitResult> result_;
  QFutureWatcher<Outcome> watcher_;
  std::stop_source stop_;
  QTimer tick_;
  QElapsedTimer clock_;
};

// The flag's kind in plain words: "not converged", "on a bound", "poorly determined", ...
QString FlagWords(FitFlagKind kind);

}  // namespace nlayer::ui
