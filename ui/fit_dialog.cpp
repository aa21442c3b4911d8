#include "ui/fit_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTableWidget>
#include <QTextBrowser>
#include <QVBoxLayout>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <cmath>
#include <exception>
#include <stdexcept>
#include <utility>

#include "core/number_text.h"
#include "io/curve_file.h"
#include "io/output_file.h"
#include "nlayer/errors.h"
#include "plot/fit_plot.h"
#include "ui/application.h"
#include "ui/model_dialog.h"

namespace nlayer::ui {

namespace {

constexpr int kChartMargin = 4;

QString Digits(double value, int significant) {
  if (!std::isfinite(value)) return QStringLiteral("not finite");
  return QString::fromStdString(NumberText(value, significant));
}

// "." as the decimal point, and no digit grouping: "0,001" is no number rather than 1.
double ParseNumber(const QString& text, bool* ok) {
  QLocale c = QLocale::c();
  c.setNumberOptions(QLocale::RejectGroupSeparator);
  return c.toDouble(text, ok);
}

QString Escaped(const std::string& text) { return QString::fromStdString(text).toHtmlEscaped(); }

// A table as tall as its header and rows, up to `most` rows (then it scrolls): a table's own size
// hint is a fixed height whatever it holds, which took the room the result text needs.
void FitHeightToRows(QTableWidget& table, int most) {
  int height = 2 * table.frameWidth();
  if (table.horizontalHeader()->isVisible() || table.horizontalHeader()->count() > 0) {
    height += table.horizontalHeader()->sizeHint().height();
  }
  const int rows = std::min(table.rowCount(), most);
  for (int row = 0; row < rows; ++row) height += table.rowHeight(row);
  if (table.rowCount() > most) height += table.horizontalScrollBar()->sizeHint().height();
  if (table.rowCount() == 0) height += table.verticalHeader()->defaultSectionSize();
  table.setMaximumHeight(height);
  table.setMinimumHeight(height);
}

// The results' lines that must show without scrolling: the verdict and the flags come first.
constexpr int kResultLines = 16;

// A cell of the parameter table as a number; empty cells are nothing.
std::optional<double> CellNumber(const QTableWidget& table, int row, int column, const QString& what) {
  const QTableWidgetItem* item = table.item(row, column);
  const QString text = item != nullptr ? item->text().trimmed() : QString();
  if (text.isEmpty()) return std::nullopt;
  bool ok = false;
  const double value = ParseNumber(text, &ok);
  if (!ok || !std::isfinite(value)) {
    throw std::invalid_argument(what.toStdString() + " \"" + text.toStdString() +
                                "\" is not a number (\".\" is the decimal point: 0.01 or 1e-2)");
  }
  return value;
}

// The plot areas of the two charts start and end at the same x, whatever width their left
// axes' labels need, so that a time reads the same in both.
void AlignPlotAreas(QChart* top, QChart* bottom) {
  const auto inner_left = [](QChart* chart) { return chart->plotArea().left() - chart->margins().left(); };
  const auto inner_right = [](QChart* chart) {
    return chart->size().width() - chart->plotArea().right() - chart->margins().right();
  };
  const qreal left = std::max(inner_left(top), inner_left(bottom));
  const qreal right = std::max(inner_right(top), inner_right(bottom));
  for (QChart* chart : {top, bottom}) {
    const QMargins wanted(kChartMargin + qRound(left - inner_left(chart)), kChartMargin,
                          kChartMargin + qRound(right - inner_right(chart)), kChartMargin);
    if (chart->margins() != wanted) chart->setMargins(wanted);
  }
}

}  // namespace

QString FlagWords(FitFlagKind kind) {
  switch (kind) {
    case FitFlagKind::kNotConverged:
      return QStringLiteral("not converged");
    case FitFlagKind::kAtBound:
      return QStringLiteral("on a bound");
    case FitFlagKind::kPoorlyDetermined:
      return QStringLiteral("poorly determined");
    case FitFlagKind::kNotFinite:
      return QStringLiteral("not a finite number");
    case FitFlagKind::kModelMismatch:
      return QStringLiteral("the model does not describe the data");
    case FitFlagKind::kShiftOutside:
      return QStringLiteral("the shift puts the light outside the data");
    case FitFlagKind::kNotCounts:
      return QStringLiteral("the data are not counts");
    case FitFlagKind::kAmbiguous:
      return QStringLiteral("ambiguous: several minima");
  }
  return QString::fromLatin1(FitFlagName(kind));
}

FitDialog::FitDialog(std::filesystem::path model_path, QWidget* parent)
    : QDialog(parent), model_path_(std::move(model_path)) {
  CreateControls();
  LoadModel();
  connect(&watcher_, &QFutureWatcher<Outcome>::finished, this, [this] { CallHandler([this] { Finish(); }); });
  connect(&tick_, &QTimer::timeout, this, [this] {
    StatusLabel->setText(QStringLiteral("Fitting… %1 s").arg(clock_.elapsed() / 1000.0, 0, 'f', 1));
  });
}

FitDialog::~FitDialog() {
  // The worker holds nothing of the dialog, but its end must not outlive the process' Qt.
  stop_.request_stop();
  watcher_.waitForFinished();
}

void FitDialog::CreateControls() {
  setWindowTitle(QStringLiteral("Fit measured curve"));
  auto* layout = new QVBoxLayout(this);

  auto* data = new QGroupBox(QStringLiteral("Data (a bin per line: t_ps and counts, as nlayer-fit reads them)"), this);
  auto* data_form = new QFormLayout(data);
  const auto file_row = [&](const QString& label, QLineEdit*& edit, const QString& title) {
    edit = new QLineEdit(data);
    auto* browse = new QPushButton(QStringLiteral("Browse…"), data);
    browse->setAutoDefault(false);
    auto* row = new QHBoxLayout;
    row->addWidget(edit);
    row->addWidget(browse);
    auto* caption = new QLabel(label, data);
    caption->setBuddy(edit);
    data_form->addRow(caption, row);
    QLineEdit* target = edit;
    connect(browse, &QPushButton::clicked, this, [this, target, title] { Browse(target, title); });
    return browse;
  };
  QPushButton* measured_browse = file_row(QStringLiteral("&Measured curve:"), MeasuredEdit, QStringLiteral("Measured curve"));
  QPushButton* irf_browse = file_row(QStringLiteral("&IRF:"), IrfEdit, QStringLiteral("Instrument response"));
  layout->addWidget(data);

  auto* model = new QGroupBox(QStringLiteral("Model: ") + QString::fromStdString(model_path_.string()), this);
  auto* model_layout = new QVBoxLayout(model);
  auto* rho_row = new QFormLayout;
  RhoEdit = new QLineEdit(model);
  auto* rho_label = new QLabel(QStringLiteral("Source-detector &distance ρ [mm]:"), model);
  rho_label->setBuddy(RhoEdit);
  rho_row->addRow(rho_label, RhoEdit);
  model_layout->addLayout(rho_row);
  auto* table_label = new QLabel(
      QStringLiteral("&Parameters: tick the free ones (Space); start values [1/mm, mm]; empty bounds take the "
                     "defaults (mua 0…1, mus′ 0.01…20, d 0.1…200). Unticked rows are the model's values."),
      model);
  table_label->setWordWrap(true);
  model_layout->addWidget(table_label);
  ParameterTable = new QTableWidget(0, 4, model);
  ParameterTable->setHorizontalHeaderLabels(
      {QStringLiteral("free"), QStringLiteral("start"), QStringLiteral("lower"), QStringLiteral("upper")});
  ParameterTable->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
  ParameterTable->verticalHeader()->hide();
  ParameterTable->setTabKeyNavigation(false);  // Tab leaves the table; arrows move within it
  table_label->setBuddy(ParameterTable);
  model_layout->addWidget(ParameterTable);
  BackgroundCheck = new QCheckBox(QStringLiteral("Fit a constant &background per bin"), model);
  model_layout->addWidget(BackgroundCheck);

  auto* run_row = new QHBoxLayout;
  FitButton = new QPushButton(QStringLiteral("&Fit"), this);
  FitButton->setDefault(true);
  CancelButton = new QPushButton(QStringLiteral("&Cancel fit"), this);
  CancelButton->setEnabled(false);
  CancelButton->setAutoDefault(false);
  Busy = new QProgressBar(this);
  Busy->setRange(0, 1);
  Busy->setValue(0);
  Busy->setTextVisible(false);
  Busy->setMaximumWidth(160);
  Busy->hide();
  StatusLabel = new QLabel(this);
  StatusLabel->setWordWrap(true);
  StatusLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
  run_row->addWidget(FitButton);
  run_row->addWidget(CancelButton);
  run_row->addWidget(Busy);
  run_row->addWidget(StatusLabel, 1);

  auto* left = new QVBoxLayout;
  left->addWidget(model);
  left->addLayout(run_row);
  ResultText = new QTextBrowser(this);
  ResultText->setOpenLinks(false);
  ResultText->setMinimumHeight(kResultLines * ResultText->fontMetrics().lineSpacing());
  left->addWidget(ResultText, 1);
  auto* correlation_label = new QLabel(QStringLiteral("Co&rrelations of the estimates:"), this);
  CorrelationTable = new QTableWidget(0, 0, this);
  CorrelationTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
  CorrelationTable->setTabKeyNavigation(false);
  correlation_label->setBuddy(CorrelationTable);
  left->addWidget(correlation_label);
  left->addWidget(CorrelationTable);
  FitHeightToRows(*CorrelationTable, 6);

  auto* charts = new QVBoxLayout;
  CountsView = new QChartView(new QChart, this);
  ResidualView = new QChartView(new QChart, this);
  for (QChartView* view : {CountsView, ResidualView}) {
    view->setRenderHint(QPainter::Antialiasing);
    view->setFocusPolicy(Qt::NoFocus);
    view->chart()->legend()->hide();
  }
  charts->addWidget(CountsView, 3);
  charts->addWidget(ResidualView, 2);

  auto* body = new QHBoxLayout;
  body->addLayout(left, 1);
  body->addLayout(charts, 1);
  layout->addLayout(body, 1);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  SaveButton = buttons->addButton(QStringLiteral("&Save result…"), QDialogButtonBox::ActionRole);
  SaveButton->setEnabled(false);
  SaveButton->setAutoDefault(false);
  buttons->button(QDialogButtonBox::Close)->setAutoDefault(false);
  layout->addWidget(buttons);

  setTabOrder(MeasuredEdit, measured_browse);
  setTabOrder(measured_browse, IrfEdit);
  setTabOrder(IrfEdit, irf_browse);
  setTabOrder(irf_browse, RhoEdit);
  setTabOrder(RhoEdit, ParameterTable);
  setTabOrder(ParameterTable, BackgroundCheck);
  setTabOrder(BackgroundCheck, FitButton);
  setTabOrder(FitButton, CancelButton);
  setTabOrder(CancelButton, ResultText);
  setTabOrder(ResultText, CorrelationTable);
  setTabOrder(CorrelationTable, SaveButton);

  connect(FitButton, &QPushButton::clicked, this, [this] { CallHandler([this] { StartFit(); }); });
  connect(CancelButton, &QPushButton::clicked, this, [this] { CancelFit(); });
  connect(SaveButton, &QPushButton::clicked, this, [this] { CallHandler([this] { AskAndSaveResult(); }); });
  connect(buttons, &QDialogButtonBox::rejected, this, &FitDialog::reject);
  resize(1180, 820);
}

void FitDialog::LoadModel() {
  // The curves of the model's own folder, where the worked example keeps them.
  const std::filesystem::path folder = model_path_.parent_path();
  for (const auto& [edit, name] : {std::pair{MeasuredEdit, "measured.csv"}, std::pair{IrfEdit, "irf.csv"}}) {
    std::error_code error;
    const std::filesystem::path candidate = folder / name;
    if (std::filesystem::is_regular_file(candidate, error)) edit->setText(QString::fromStdString(candidate.string()));
  }
  try {
    model_ = ReadModelFile(model_path_);
    if (auto problem = ValidateModelFile(*model_, false)) throw std::runtime_error(*problem);
  } catch (const std::exception& e) {
    model_.reset();
    StatusLabel->setText(QString::fromStdString(e.what()) + QStringLiteral(": nothing to fit; correct it with "
                                                                            "\"Edit model…\""));
    FitButton->setEnabled(false);
    return;
  }
  if (model_->rho_line != 0) RhoEdit->setText(QString::fromStdString(ModelValueText(model_->rho_mm)));
  const auto& layers = model_->medium.layers;
  for (std::size_t k = 0; k < layers.size(); ++k) {
    const std::string layer = std::to_string(k + 1);
    for (const auto& [name, value] : {std::pair{"mua" + layer, layers[k].mua}, std::pair{"musp" + layer, layers[k].musp}}) {
      const int row = ParameterTable->rowCount();
      ParameterTable->insertRow(row);
      auto* item = new QTableWidgetItem(QString::fromStdString(name));
      item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
      item->setCheckState(k == 0 ? Qt::Checked : Qt::Unchecked);
      ParameterTable->setItem(row, kFitNameColumn, item);
      ParameterTable->setItem(row, kFitStartColumn, new QTableWidgetItem(QString::fromStdString(ModelValueText(value))));
      ParameterTable->setItem(row, kFitLowerColumn, new QTableWidgetItem);
      ParameterTable->setItem(row, kFitUpperColumn, new QTableWidgetItem);
    }
  }
  if (layers.size() >= 2) {
    const int row = ParameterTable->rowCount();
    ParameterTable->insertRow(row);
    auto* item = new QTableWidgetItem(QStringLiteral("d1"));
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    item->setCheckState(Qt::Unchecked);
    ParameterTable->setItem(row, kFitNameColumn, item);
    ParameterTable->setItem(row, kFitStartColumn, new QTableWidgetItem(QString::fromStdString(ModelValueText(layers[0].d))));
    ParameterTable->setItem(row, kFitLowerColumn, new QTableWidgetItem);
    ParameterTable->setItem(row, kFitUpperColumn, new QTableWidgetItem);
  }
  FitHeightToRows(*ParameterTable, 9);
  StatusLabel->setText(QStringLiteral("Tick the free parameters, then Fit."));
}

void FitDialog::Browse(QLineEdit* edit, const QString& title) {
  const QString name = QFileDialog::getOpenFileName(this, title, edit->text(),
                                                    QStringLiteral("Curves (*.csv *.txt *.dat);;All files (*)"));
  if (!name.isEmpty()) edit->setText(name);
}

FitDialog::Request FitDialog::BuildRequest() const {
  if (!model_) throw std::invalid_argument("the model file cannot be fitted: " + StatusLabel->text().toStdString());
  const auto path = [](const QLineEdit* edit, const char* what) {
    const QString text = edit->text().trimmed();
    if (text.isEmpty()) throw std::invalid_argument(std::string("name the ") + what + " file");
    return std::filesystem::path(QFile::encodeName(text).toStdString());
  };
  const CurveFile measured = ReadCurveFile(path(MeasuredEdit, "measured curve's"));
  const CurveFile irf = ReadCurveFile(path(IrfEdit, "IRF's"));
  Request request;
  request.curve.t_ps = measured.t_ps;
  request.curve.counts = measured.counts;
  request.curve.irf_t_ps = irf.t_ps;
  request.curve.irf = irf.counts;
  request.medium = model_->medium;
  bool ok = false;
  const double rho = ParseNumber(RhoEdit->text().trimmed(), &ok);
  if (!ok) throw std::invalid_argument("rho \"" + RhoEdit->text().toStdString() + "\" is not a number");
  request.curve.rho_mm = rho;
  request.curve.background = BackgroundCheck->isChecked() ? BackgroundMode::kFitted : BackgroundMode::kNone;
  for (int row = 0; row < ParameterTable->rowCount(); ++row) {
    const QString name = ParameterTable->item(row, kFitNameColumn)->text();
    const std::optional<double> start = CellNumber(*ParameterTable, row, kFitStartColumn, QStringLiteral("the start of ") + name);
    // The table is the model: every row's value is the medium's, free or not.
    if (start) {
      const int layer = name.startsWith(u'd') ? 1 : name.mid(name.startsWith(QStringLiteral("musp")) ? 4 : 3).toInt();
      Layer& target = request.medium.layers.at(static_cast<std::size_t>(layer - 1));
      (name.startsWith(QStringLiteral("mua")) ? target.mua : name.startsWith(u'd') ? target.d : target.musp) = *start;
    }
    if (ParameterTable->item(row, kFitNameColumn)->checkState() != Qt::Checked) continue;
    FitParameter parameter;
    parameter.name = name.toStdString();
    parameter.start = start;
    parameter.lower = CellNumber(*ParameterTable, row, kFitLowerColumn, QStringLiteral("the lower bound of ") + name);
    parameter.upper = CellNumber(*ParameterTable, row, kFitUpperColumn, QStringLiteral("the upper bound of ") + name);
    request.free.push_back(parameter);
  }
  if (request.free.empty() && request.curve.background == BackgroundMode::kNone) throw std::invalid_argument("tick at least one parameter to fit");
  return request;
}

bool FitDialog::StartFit() {
  if (Running()) return false;
  Request request;
  try {
    request = BuildRequest();
  } catch (const std::exception& e) {
    StatusLabel->setText(QStringLiteral("Cannot fit: ") + QString::fromStdString(e.what()));
    return false;
  }
  stop_ = std::stop_source();
  request.options.compute.stop = stop_.get_token();
  running_request_ = request;
  result_.reset();
  SaveButton->setEnabled(false);
  SetRunning(true);
  watcher_.setFuture(QtConcurrent::run([request = std::move(request)]() -> Outcome {
    try {
      return Outcome{FitCurve(request.curve, request.medium, request.free, request.options), {}, false};
    } catch (const Cancelled&) {
      return Outcome{std::nullopt, {}, true};
    } catch (const std::exception& e) {
      return Outcome{std::nullopt, e.what(), false};
    }
  }));
  return true;
}

void FitDialog::CancelFit() {
  if (!Running()) return;
  stop_.request_stop();
  StatusLabel->setText(QStringLiteral("Cancelling…"));
  CancelButton->setEnabled(false);
}

void FitDialog::SetRunning(bool running) {
  FitButton->setEnabled(!running && model_.has_value());
  CancelButton->setEnabled(running);
  for (QWidget* input : std::initializer_list<QWidget*>{MeasuredEdit, IrfEdit, RhoEdit, ParameterTable, BackgroundCheck}) {
    input->setEnabled(!running);
  }
  Busy->setRange(0, running ? 0 : 1);  // a range of 0 ... 0 is Qt's busy indicator
  Busy->setValue(0);
  Busy->setVisible(running);
  if (running) {
    clock_.start();
    tick_.start(100);
    StatusLabel->setText(QStringLiteral("Fitting…"));
    CancelButton->setFocus();
  } else {
    tick_.stop();
  }
}

void FitDialog::Finish() {
  Outcome outcome = watcher_.result();
  SetRunning(false);
  if (outcome.result) {
    result_ = std::move(outcome.result);
    ShowResult(*running_request_, *result_);
    StatusLabel->setText(QStringLiteral("Fit ended after %1 iterations (%2 s): %3")
                             .arg(result_->iterations)
                             .arg(result_->seconds, 0, 'f', 1)
                             .arg(result_->success ? QStringLiteral("no flag raised")
                                                   : QStringLiteral("%1 flag(s), see below").arg(result_->flags.size())));
    SaveButton->setEnabled(true);
  } else if (outcome.cancelled) {
    StatusLabel->setText(QStringLiteral("Cancelled: no result."));
  } else {
    StatusLabel->setText(QStringLiteral("The fit failed: ") + QString::fromStdString(outcome.failure));
  }
  FitButton->setFocus();
  emit fitEnded();
}

void FitDialog::ShowResult(const Request& request, const FitResult& result) {
  QString html;
  html += result.success ? QStringLiteral("<p><b>No flag:</b> the fit converged, every parameter is determined and "
                                          "the model describes the data.</p>")
                         : QStringLiteral("<p><b>Do not trust this fit</b> before reading the flags below.</p>");
  if (!result.flags.empty()) {
    html += QStringLiteral("<p><b>Flags</b></p><ul>");
    for (const FitFlag& flag : result.flags) {
      QStringList parameters;
      for (const std::string& p : flag.parameters) parameters << Escaped(p);
      html += QStringLiteral("<li><b>%1</b>%2: %3</li>")
                  .arg(FlagWords(flag.kind),
                       parameters.isEmpty() ? QString() : QStringLiteral(" (") + parameters.join(QStringLiteral(", ")) + u')',
                       Escaped(flag.sentence));
    }
    html += QStringLiteral("</ul>");
  }
  html += QStringLiteral("<table cellspacing=0 cellpadding=3 border=1><tr><th>parameter</th><th>value ± standard "
                         "error</th><th>start</th><th>bounds</th></tr>");
  for (const FitEstimate& e : result.estimates) {
    html += QStringLiteral("<tr><td>%1</td><td>%2 ± %3</td><td>%4</td><td>%5</td></tr>")
                .arg(Escaped(e.name), Digits(e.value, 6), e.fixed ? QStringLiteral("0 (fixed)") : Digits(e.standard_error, 2),
                     Digits(e.start, 6), e.fixed ? QString() : Digits(e.lower, 4) + QStringLiteral(" … ") + Digits(e.upper, 4));
  }
  html += QStringLiteral("</table>");
  html += QStringLiteral("<p>χ²/ν = %1 (ν = %2), Poisson deviance %3 over bins %4 … %5 ps; %6 iterations, %7 model "
                         "evaluations; the solver: %8.</p>")
              .arg(Digits(result.chi2_reduced, 4))
              .arg(result.degrees_of_freedom)
              .arg(Digits(result.poisson_deviance, 5), Digits(result.t_first_ps, 6), Digits(result.t_last_ps, 6))
              .arg(result.iterations)
              .arg(result.forward_evaluations)
              .arg(Escaped(result.termination));
  for (const std::string& note : result.notes) html += QStringLiteral("<p>") + Escaped(note) + QStringLiteral("</p>");
  ResultText->setHtml(html);

  const int n = static_cast<int>(result.estimates.size());
  CorrelationTable->clear();
  CorrelationTable->setRowCount(n);
  CorrelationTable->setColumnCount(n);
  QStringList names;
  for (const FitEstimate& e : result.estimates) names << QString::fromStdString(e.name);
  CorrelationTable->setHorizontalHeaderLabels(names);
  CorrelationTable->setVerticalHeaderLabels(names);
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) {
      const std::size_t at = static_cast<std::size_t>(i * n + j);
      const double value = at < result.correlation.size() ? result.correlation[at] : std::nan("");
      auto* item = new QTableWidgetItem(std::isfinite(value) ? QString::number(value, 'f', 3) : QStringLiteral("—"));
      item->setData(Qt::UserRole, value);
      item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      // Marked where the library's flags call the pair poorly determined: the threshold is the
      // library's to choose, not the window's.
      const auto flagged = [&](int a, int b) {
        const std::string& first = result.estimates[static_cast<std::size_t>(a)].name;
        const std::string& second = result.estimates[static_cast<std::size_t>(b)].name;
        for (const FitFlag& f : result.flags) {
          if (f.kind != FitFlagKind::kPoorlyDetermined || f.parameters.size() != 2) continue;
          if ((f.parameters[0] == first && f.parameters[1] == second) ||
              (f.parameters[0] == second && f.parameters[1] == first)) {
            return true;
          }
        }
        return false;
      };
      if (i != j && flagged(i, j)) {
        item->setBackground(QColor(255, 200, 200));
      }
      CorrelationTable->setItem(i, j, item);
    }
  }
  CorrelationTable->resizeColumnsToContents();
  FitHeightToRows(*CorrelationTable, 6);

  fit::FitPicture picture{request.curve.t_ps, request.curve.counts, result.model_counts, result.residuals,
                          result.first_bin, result.last_bin, {}};
  const fit::FitCharts charts = fit::CreateFitCharts(picture);
  for (auto [view, chart] : {std::pair{CountsView, charts.counts}, std::pair{ResidualView, charts.residuals}}) {
    QChart* old = view->chart();
    view->setChart(chart);
    delete old;
  }
  charts.counts->legend()->setAlignment(Qt::AlignTop);
  for (QChart* chart : {charts.counts, charts.residuals}) {
    connect(chart, &QChart::plotAreaChanged, this, [top = charts.counts, bottom = charts.residuals] {
      AlignPlotAreas(top, bottom);
    });
  }
  AlignPlotAreas(charts.counts, charts.residuals);
}

void FitDialog::SaveResult(const std::filesystem::path& path) const {
  if (!result_) throw std::runtime_error("there is no fit result to save yet");
  ReplaceFile(path, result_->ToJson());
}

void FitDialog::AskAndSaveResult() {
  QString name = QFileDialog::getSaveFileName(this, QStringLiteral("Save fit result"), QStringLiteral("fit.json"),
                                              QStringLiteral("JSON (*.json)"));
  if (name.isEmpty()) return;
  if (QFileInfo(name).suffix().isEmpty()) name += QStringLiteral(".json");
  SaveResult(std::filesystem::path(QFile::encodeName(name).toStdString()));
  StatusLabel->setText(QStringLiteral("Saved ") + name);
}

void FitDialog::reject() {
  if (Running()) {
    stop_.request_stop();
    watcher_.waitForFinished();
  }
  QDialog::reject();
}

}  // namespace nlayer::ui
