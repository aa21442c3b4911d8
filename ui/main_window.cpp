#include "ui/main_window.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFont>
#include <QFormLayout>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QVBoxLayout>
#include <QtCharts/QChartView>
#include <QtCharts/QLegend>
#include <QtCharts/QLegendMarker>
#include <QtCharts/QLineSeries>

#include <algorithm>
#include <exception>

#include <optional>
#include <utility>

#include "app/run.h"
#include "app/run_error.h"
#include "app/run_explanation.h"
#include "core/number_text.h"
#include "plot/chart_image.h"
#include "ui/application.h"
#include "ui/fit_dialog.h"
#include "ui/model_dialog.h"

namespace nlayer::ui {

TForm1* Form1 = nullptr;

namespace {

// The stored layout, pixels at 96 dpi. The stored window size, 539 x 385, includes the frame
// and caption bar, whose size only the window manager knows; the client size is what remains
// with a 4 px frame and a 26 px caption, and leaves the chart 16 px from the left edge, 18 px
// from the right and 6 px from the bottom.
constexpr QPoint kFormPosition(358, 216);
constexpr QSize kFormClientSize(531, 351);
constexpr QRect kButtonGeometry(16, 8, 73, 25);
constexpr QRect kChartGeometry(16, 40, kChartWidth, kChartHeight);
// What the chart leaves of the client area at the right and the bottom.
constexpr int kChartRightGap = 18;
constexpr int kChartBottomGap = 6;
constexpr int kFormFontPixels = 16;
constexpr int kButtonFontPixels = 13;

const QString kPngFilter = QStringLiteral("PNG image (*.png)");
const QString kSvgFilter = QStringLiteral("SVG image (*.svg)");

// A run's failure with the English explanation the model file allows.
class ExplainedRunError final : public RunError, public FailureDetails {
 public:
  ExplainedRunError(const RunError& error, std::string details)
      : RunError(error), FailureDetails(std::move(details)) {}
};

QString Subscript(std::size_t number) {
  QString text;
  for (const QChar digit : QString::number(number)) text += QChar(0x2080 + digit.digitValue());
  return text;
}

QString Number(long double value) { return QString::fromStdString(NumberText(value)); }

// The moments in the panel: enough digits to tell curves apart, "." whatever the locale.
QString Figure(double value) { return QString::fromStdString(NumberText(value, 6)); }

Medium RunMedium(const DerivedModel& model) {
  Medium medium;
  for (int i = 0; i < model.LayerCount(); ++i) {
    const auto at = [&](const std::vector<long double>& values) {
      return static_cast<std::size_t>(i) < values.size() ? values[i] : 0.0L;
    };
    medium.layers.push_back(Layer{at(model.Musp), at(model.Mua), at(model.RefrIndex), at(model.Thickness)});
  }
  return medium;
}

}  // namespace

QString ModelChanges(const Medium& before, const Medium& after, int listed) {
  QStringList changes;
  if (before.layers.size() != after.layers.size()) {
    changes << QStringLiteral("layers %1 → %2").arg(before.layers.size()).arg(after.layers.size());
  }
  const std::size_t common = std::min(before.layers.size(), after.layers.size());
  for (std::size_t k = 0; k < common; ++k) {
    const Layer& a = before.layers[k];
    const Layer& b = after.layers[k];
    const std::pair<const char16_t*, long double Layer::*> fields[] = {
        {u"μs′", &Layer::musp}, {u"μa", &Layer::mua}, {u"n", &Layer::n}, {u"d", &Layer::d}};
    for (const auto& [symbol, field] : fields) {
      if (a.*field == b.*field) continue;
      changes << QString::fromUtf16(symbol) + Subscript(k + 1) + u' ' + Number(a.*field) + QStringLiteral(" → ") +
                     Number(b.*field);
    }
  }
  if (changes.size() > listed) {
    const qsizetype more = changes.size() - listed;
    changes = changes.mid(0, listed);
    changes << QStringLiteral("+%1 more").arg(more);
  }
  return changes.join(QStringLiteral(", "));
}

const QString TForm1::kCaption = QStringLiteral("N-layered Media | time domain");

TForm1::TForm1(QWidget* parent) : QWidget(parent) {
  CreateControls();
  CreateChartMenu();
  FormCreate();
}

TForm1::~TForm1() = default;

void TForm1::CreateControls() {
  setWindowTitle(kCaption);
  setFont(CourierNew(kFormFontPixels));
  move(kFormPosition);  // for a window, the position of its frame
  resize(kFormClientSize);

  Button1 = new QPushButton(QStringLiteral("Start!"), this);
  Button1->setFont(CourierNew(kButtonFontPixels));
  Button1->setGeometry(kButtonGeometry);

  Chart1 = chart_.CreateView(this);
  Chart1->setGeometry(kChartGeometry);
  ConnectLegendMarkers();
  QLineSeries** const series[] = {&Series1, &Series2, &Series3, &Series4,
                                  &Series5, &Series6, &Series7, &Series8};
  for (int i = 0; i < ChartSink::kSeriesCount; ++i) *series[i] = chart_.Series(i);

  setTabOrder(Button1, Chart1);
  connect(Button1, &QPushButton::clicked, this, [this] { CallHandler([this] { Button1Click(); }); });
}

void TForm1::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  LayOut();
}

void TForm1::LayOut() {
  if (Chart1 == nullptr) return;
  const int width = std::max(0, this->width() - kChartGeometry.left() - kChartRightGap);
  int note = 0;
  if (warning_note_ != nullptr && warning_note_->isVisible()) {
    // One line, so that the chart keeps its room; the whole text is the note's tool tip.
    warning_note_->setText(warning_note_->fontMetrics().elidedText(warning_text_, Qt::ElideRight, width));
    note = warning_note_->sizeHint().height();
  }
  const int height = std::max(0, this->height() - kChartGeometry.top() - kChartBottomGap - note);
  Chart1->setGeometry(kChartGeometry.left(), kChartGeometry.top(), width, height);
  if (note > 0) warning_note_->setGeometry(kChartGeometry.left(), kChartGeometry.top() + height, width, note);
}

void TForm1::ConnectLegendMarkers() {
  for (int i = 0; i < ChartSink::kSeriesCount; ++i) {
    for (QLegendMarker* marker : Chart1->chart()->legend()->markers(chart_.Series(i))) {
      connect(marker, &QLegendMarker::clicked, this, [this, i] {
        const bool twice = marker_series_ == i && marker_clicked_.isValid() &&
                           marker_clicked_.elapsed() <= QApplication::doubleClickInterval();
        marker_series_ = i;
        marker_clicked_.restart();
        if (!twice) return;
        marker_series_ = -1;
        CallHandler([this, i] { AskAndRenameCurve(i); });
      });
    }
  }
}

void TForm1::CreateChartMenu() {
  SaveImageAction = new QAction(QStringLiteral("&Save image…"), this);
  CopyDataAction = new QAction(QStringLiteral("&Copy data"), this);
  connect(SaveImageAction, &QAction::triggered, this,
          [this] { CallHandler([this] { AskAndSaveChartImage(); }); });
  connect(CopyDataAction, &QAction::triggered, this, [this] { CallHandler([this] { CopyChartData(); }); });
  Chart1->addAction(SaveImageAction);
  Chart1->addAction(CopyDataAction);

  LegendAction = new QAction(QStringLiteral("&Legend"), this);
  LegendAction->setCheckable(true);
  ClearChartAction = new QAction(QStringLiteral("Clea&r chart"), this);
  EditModelAction = new QAction(QStringLiteral("&Edit model…"), this);
  connect(LegendAction, &QAction::toggled, this, [this](bool on) { CallHandler([this, on] { ShowLegend(on); }); });
  connect(ClearChartAction, &QAction::triggered, this, [this] { CallHandler([this] { ClearChart(); }); });
  connect(EditModelAction, &QAction::triggered, this, [this] { CallHandler([this] { EditModel(); }); });
  Chart1->addAction(LegendAction);
  Chart1->addAction(ClearChartAction);
  Chart1->addAction(EditModelAction);

  RenameCurveAction = new QAction(QStringLiteral("Re&name curve…"), this);
  CurvesAction = new QAction(QStringLiteral("C&urves…"), this);
  ResetZoomAction = new QAction(QStringLiteral("Reset &zoom"), this);
  LogScaleAction = new QAction(QStringLiteral("Lo&g scale"), this);
  LogScaleAction->setCheckable(true);
  LogScaleAction->setChecked(true);
  FitAction = new QAction(QStringLiteral("&Fit measured curve…"), this);
  connect(RenameCurveAction, &QAction::triggered, this, [this] { CallHandler([this] { AskAndRenameCurve(last_drawn_); }); });
  connect(CurvesAction, &QAction::triggered, this, [this] { CallHandler([this] { ShowCurvesPanel(); }); });
  connect(ResetZoomAction, &QAction::triggered, this, [this] { CallHandler([this] { ResetZoom(); }); });
  connect(LogScaleAction, &QAction::toggled, this, [this](bool on) { CallHandler([this, on] { SetLogScale(on); }); });
  connect(FitAction, &QAction::triggered, this, [this] { CallHandler([this] { FitMeasuredCurve(); }); });
  auto* separator = new QAction(this);
  separator->setSeparator(true);
  Chart1->addAction(separator);
  for (QAction* action : {RenameCurveAction, CurvesAction, ResetZoomAction, LogScaleAction, FitAction}) {
    Chart1->addAction(action);
  }
  Chart1->setContextMenuPolicy(Qt::ActionsContextMenu);
}

void TForm1::FormCreate() { session_.SetRunIndex(-1); }

void TForm1::Button1Click() {
  const RunOptions options;
  // Read apart from the run, before it: its warnings stand whether the run succeeds or not,
  // and a failure is explained from the same reading.
  const ModelReading reading = ReadModelForExplanation(options.input_path);
  const std::vector<std::string> notes = reading.model ? ModelNotes(*reading.model) : std::vector<std::string>();
  ShowWarnings(reading.model ? ModelWarnings(*reading.model) : std::vector<std::string>(), notes);
  try {
    session_.Run(chart_, options);
  } catch (const RunError& e) {
    NameRunSeries(options.input_path);  // a run that fails while writing has drawn a part
    if (!e.explanation().empty()) throw ExplainedRunError(e, e.explanation());
    if (std::optional<std::string> explanation = ExplainRunFailure(e, reading, options)) {
      throw ExplainedRunError(e, std::move(*explanation));
    }
    throw;
  }
  NameRunSeries(options.input_path, notes);
  if (std::optional<std::string> fold = FoldWarning(session_.FoldedPart())) {
    std::vector<std::string> warnings = reading.model ? ModelWarnings(*reading.model) : std::vector<std::string>();
    warnings.insert(warnings.begin(), *fold);
    ShowWarnings(warnings, notes);
  }
}

void TForm1::NameRunSeries(const std::filesystem::path& input_path, const std::vector<std::string>& notes) {
  const int series = session_.RunIndex();
  if (series < 0 || series >= ChartSink::kSeriesCount || chart_.Series(series)->count() == 0) return;
  Curve& curve = curves_[static_cast<std::size_t>(series)];
  curve = Curve{};
  curve.drawn = true;
  QStringList lines;
  for (const std::string& note : notes) lines << QStringLiteral("note: ") + QString::fromStdString(note);
  curve.notes = lines.join(u'\n');
  curve.medium = RunMedium(session_.State().Model);
  curve.rho = session_.Rho();
  curve.run_name = QStringLiteral("%1: %2, ρ = %3 mm")
                       .arg(series + 1)
                       .arg(QString::fromStdString(input_path.string()))
                       .arg(QString::fromStdString(NumberText(session_.Rho())));
  // Curves of one model at several distances differ in rho only, which the name already says.
  if (last_drawn_ >= 0 && last_drawn_ != series) {
    const QString changes = ModelChanges(curves_[static_cast<std::size_t>(last_drawn_)].medium, curve.medium);
    if (!changes.isEmpty()) curve.run_name += QStringLiteral(", ") + changes;
  }
  last_drawn_ = series;
  chart_.NameSeries(series, curve.run_name);
  FillCurvesPanel();
}

void TForm1::ShowWarnings(const std::vector<std::string>& warnings, const std::vector<std::string>& notes) {
  // In the title bar and under the chart, never over it, and gone with the next run that has
  // none. Red is for what the user should change; notes on how the run computes only join the
  // tool tip of a note that is shown anyway.
  QString title = kCaption;
  if (!warnings.empty()) {
    title += QStringLiteral(" — warning: ") + QString::fromStdString(warnings.front());
    if (warnings.size() > 1) title += QStringLiteral(" (and %1 more)").arg(warnings.size() - 1);
  }
  setWindowTitle(title);
  if (warnings.empty() && warning_note_ == nullptr) return;
  if (warning_note_ == nullptr) {
    warning_note_ = new QLabel(this);
    warning_note_->setFont(CourierNew(kButtonFontPixels));
    warning_note_->setStyleSheet(QStringLiteral("color: #b00000;"));
    warning_note_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  }
  QStringList lines;
  for (const std::string& warning : warnings) lines << QStringLiteral("warning: ") + QString::fromStdString(warning);
  warning_text_ = lines.value(0);
  if (lines.size() > 1) warning_text_ = QStringLiteral("(%1 warnings) ").arg(lines.size()) + warning_text_;
  for (const std::string& note : notes) lines << QStringLiteral("note: ") + QString::fromStdString(note);
  warning_note_->setToolTip(lines.join(u'\n'));
  warning_note_->setVisible(!warnings.empty());
  LayOut();
}

void TForm1::RenameCurve(int series, const QString& name) {
  if (series < 0 || series >= ChartSink::kSeriesCount || !curves_[static_cast<std::size_t>(series)].drawn) return;
  const QString trimmed = name.trimmed();
  chart_.NameSeries(series, trimmed.isEmpty() ? curves_[static_cast<std::size_t>(series)].run_name : trimmed);
  FillCurvesPanel();
}

void TForm1::AskAndRenameCurve(int series) {
  QDialog dialog(this);
  dialog.setWindowTitle(QStringLiteral("Rename curve"));
  auto* form = new QFormLayout(&dialog);
  auto* which = new QComboBox(&dialog);
  for (int i = 0; i < ChartSink::kSeriesCount; ++i) {
    if (curves_[static_cast<std::size_t>(i)].drawn) which->addItem(chart_.SeriesName(i), i);
  }
  if (which->count() == 0) {
    throw std::runtime_error("There is no curve to rename: the chart is empty");
  }
  auto* name = new QLineEdit(&dialog);
  name->setPlaceholderText(QStringLiteral("empty: the name the run gave it"));
  auto* which_label = new QLabel(QStringLiteral("&Curve:"), &dialog);
  auto* name_label = new QLabel(QStringLiteral("&Name:"), &dialog);
  which_label->setBuddy(which);
  name_label->setBuddy(name);
  form->addRow(which_label, which);
  form->addRow(name_label, name);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  form->addRow(buttons);
  connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  connect(which, &QComboBox::currentIndexChanged, &dialog, [&] {
    name->setText(which->currentText());
    name->selectAll();
  });
  which->setCurrentIndex(std::max(0, which->findData(series)));
  name->setText(which->currentText());
  name->selectAll();
  name->setFocus();
  dialog.resize(std::max(dialog.sizeHint().width(), 480), dialog.sizeHint().height());
  if (dialog.exec() != QDialog::Accepted) return;
  RenameCurve(which->currentData().toInt(), name->text());
}

void TForm1::ShowCurvesPanel() {
  if (curves_panel_ == nullptr) {
    curves_panel_ = new QWidget(this, Qt::Tool);
    curves_panel_->setWindowTitle(QStringLiteral("Curves"));
    auto* layout = new QVBoxLayout(curves_panel_);
    curves_table_ = new QTableWidget(0, 4, curves_panel_);
    curves_table_->setHorizontalHeaderLabels({QStringLiteral("curve"), QStringLiteral("total (CW) [mm⁻²]"),
                                              QStringLiteral("mean time ⟨t⟩ [ps]"), QStringLiteral("variance [ps²]")});
    curves_table_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    curves_table_->verticalHeader()->hide();
    curves_table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    curves_table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    auto* note = new QLabel(QStringLiteral("Moments of each run's model at its ρ, from the frequency domain at f = 0 "
                                           "(no time window cuts them)."),
                            curves_panel_);
    note->setWordWrap(true);
    layout->addWidget(curves_table_);
    layout->addWidget(note);
    curves_panel_->resize(760, 260);
    auto* close = new QShortcut(QKeySequence(Qt::Key_Escape), curves_panel_);
    connect(close, &QShortcut::activated, curves_panel_, &QWidget::close);
  }
  FillCurvesPanel();
  curves_panel_->show();
  curves_panel_->raise();
}

void TForm1::FillCurvesPanel() {
  if (curves_table_ == nullptr) return;
  curves_table_->setRowCount(0);
  for (int i = 0; i < ChartSink::kSeriesCount; ++i) {
    Curve& curve = curves_[static_cast<std::size_t>(i)];
    if (!curve.drawn) continue;
    if (!curve.moments && curve.moments_problem.isEmpty()) {
      try {
        curve.moments = ModelMoments(curve.medium, {curve.rho}).at(0);
      } catch (const std::exception& e) {
        curve.moments_problem = QString::fromStdString(e.what());
      }
    }
    const int row = curves_table_->rowCount();
    curves_table_->insertRow(row);
    auto* name = new QTableWidgetItem(chart_.SeriesName(i));
    name->setToolTip(curve.notes);
    name->setForeground(chart_.Series(i)->pen().color() == QColor(Qt::white) ? QColor(Qt::black)
                                                                               : chart_.Series(i)->pen().color());
    name->setData(Qt::UserRole, i);
    curves_table_->setItem(row, 0, name);
    if (curve.moments) {
      const double values[] = {curve.moments->total, curve.moments->mean_time_ps, curve.moments->variance_ps2};
      for (int c = 0; c < 3; ++c) {
        auto* item = new QTableWidgetItem(Figure(values[c]));
        item->setData(Qt::UserRole, values[c]);
        item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        curves_table_->setItem(row, c + 1, item);
      }
    } else {
      auto* item = new QTableWidgetItem(curve.moments_problem);
      item->setToolTip(curve.moments_problem);
      curves_table_->setItem(row, 1, item);
      curves_table_->setSpan(row, 1, 1, 3);
    }
  }
  curves_table_->resizeColumnsToContents();
  curves_table_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
}

void TForm1::SetLogScale(bool log) {
  chart_.SetLogScale(log);
  const QSignalBlocker quiet(LogScaleAction);
  LogScaleAction->setChecked(log);
}

void TForm1::ResetZoom() { chart_.ResetZoom(); }

void TForm1::FitMeasuredCurve() {
  FitDialog dialog(RunOptions().input_path, this);
  dialog.exec();
}

void TForm1::ShowLegend(bool visible) {
  chart_.SetLegendVisible(visible);
  // Checked and shown agree also when this is called rather than the menu used.
  const QSignalBlocker quiet(LegendAction);
  LegendAction->setChecked(visible);
}

void TForm1::ClearChart() {
  chart_.Clear();
  curves_.fill(Curve{});
  last_drawn_ = -1;
  FormCreate();
  ShowWarnings({});
  FillCurvesPanel();
}

void TForm1::EditModel() {
  ModelDialog dialog(RunOptions().input_path, this);
  dialog.exec();
}

void TForm1::SaveChartImage(const std::filesystem::path& path) { WriteWidgetImage(*Chart1, path); }

void TForm1::CopyChartData() { QGuiApplication::clipboard()->setText(chart_.PointsAsText()); }

void TForm1::AskAndSaveChartImage() {
  QString filter = kPngFilter;
  QString name = QFileDialog::getSaveFileName(this, QStringLiteral("Save image"), QStringLiteral("chart.png"),
                                              kPngFilter + QStringLiteral(";;") + kSvgFilter, &filter);
  if (name.isEmpty()) return;
  // The suffix decides the format; a name without one takes the chosen filter's.
  if (QFileInfo(name).suffix().isEmpty()) name += filter == kSvgFilter ? u".svg" : u".png";
  SaveChartImage(std::filesystem::path(QFile::encodeName(name).toStdString()));
}

}  // namespace nlayer::ui
