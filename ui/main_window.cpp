#include "ui/main_window.h"

#include <QAction>
#include <QClipboard>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFont>
#include <QGuiApplication>
#include <QPushButton>
#include <QSignalBlocker>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>

#include <optional>
#include <utility>

#include "app/run.h"
#include "app/run_error.h"
#include "app/run_explanation.h"
#include "core/number_text.h"
#include "plot/chart_image.h"
#include "ui/application.h"
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
constexpr int kFormFontPixels = 16;
constexpr int kButtonFontPixels = 13;

QFont CourierNew(int pixels) {
  QFont font(QStringLiteral("Courier New"));
  font.setStyleHint(QFont::TypeWriter);  // a monospaced substitute where Courier New is missing
  font.setPixelSize(pixels);
  return font;
}

const QString kPngFilter = QStringLiteral("PNG image (*.png)");
const QString kSvgFilter = QStringLiteral("SVG image (*.svg)");

// A run's failure with the English explanation the model file allows.
class ExplainedRunError final : public RunError, public FailureDetails {
 public:
  ExplainedRunError(const std::string& message, std::string details)
      : RunError(message), FailureDetails(std::move(details)) {}
};

}  // namespace

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
  QLineSeries** const series[] = {&Series1, &Series2, &Series3, &Series4,
                                  &Series5, &Series6, &Series7, &Series8};
  for (int i = 0; i < ChartSink::kSeriesCount; ++i) *series[i] = chart_.Series(i);

  setTabOrder(Button1, Chart1);
  connect(Button1, &QPushButton::clicked, this, [this] { CallHandler([this] { Button1Click(); }); });
}

void TForm1::CreateChartMenu() {
  SaveImageAction = new QAction(QStringLiteral("Save image…"), this);
  CopyDataAction = new QAction(QStringLiteral("Copy data"), this);
  connect(SaveImageAction, &QAction::triggered, this,
          [this] { CallHandler([this] { AskAndSaveChartImage(); }); });
  connect(CopyDataAction, &QAction::triggered, this, [this] { CallHandler([this] { CopyChartData(); }); });
  Chart1->addAction(SaveImageAction);
  Chart1->addAction(CopyDataAction);

  LegendAction = new QAction(QStringLiteral("Legend"), this);
  LegendAction->setCheckable(true);
  ClearChartAction = new QAction(QStringLiteral("Clear chart"), this);
  EditModelAction = new QAction(QStringLiteral("Edit model…"), this);
  connect(LegendAction, &QAction::toggled, this, [this](bool on) { CallHandler([this, on] { ShowLegend(on); }); });
  connect(ClearChartAction, &QAction::triggered, this, [this] { CallHandler([this] { ClearChart(); }); });
  connect(EditModelAction, &QAction::triggered, this, [this] { CallHandler([this] { EditModel(); }); });
  Chart1->addAction(LegendAction);
  Chart1->addAction(ClearChartAction);
  Chart1->addAction(EditModelAction);
  Chart1->setContextMenuPolicy(Qt::ActionsContextMenu);
}

void TForm1::FormCreate() { session_.SetRunIndex(-1); }

void TForm1::Button1Click() {
  const RunOptions options;
  // Read apart from the run, before it: its warnings stand whether the run succeeds or not,
  // and a failure is explained from the same reading.
  const ModelReading reading = ReadModelForExplanation(options.input_path);
  ShowWarnings(reading.model ? ModelWarnings(*reading.model) : std::vector<std::string>());
  try {
    session_.Run(chart_, options);
  } catch (const RunError& e) {
    NameRunSeries(options.input_path);  // a run that fails while writing has drawn a part
    if (!e.explanation().empty()) throw ExplainedRunError(e.what(), e.explanation());
    if (std::optional<std::string> explanation = ExplainRunFailure(e.what(), reading, options)) {
      throw ExplainedRunError(e.what(), std::move(*explanation));
    }
    throw;
  }
  NameRunSeries(options.input_path);
}

void TForm1::NameRunSeries(const std::filesystem::path& input_path) {
  const int series = session_.RunIndex();
  if (series < 0 || series >= ChartSink::kSeriesCount || chart_.Series(series)->count() == 0) return;
  chart_.NameSeries(series, QStringLiteral("%1: %2, ρ = %3 mm")
                                .arg(series + 1)
                                .arg(QString::fromStdString(input_path.string()))
                                .arg(QString::fromStdString(NumberText(session_.Rho()))));
}

void TForm1::ShowWarnings(const std::vector<std::string>& warnings) {
  // In the title bar, never over the chart, and gone with the next run that has none.
  QString title = kCaption;
  if (!warnings.empty()) {
    title += QStringLiteral(" — warning: ") + QString::fromStdString(warnings.front());
    if (warnings.size() > 1) title += QStringLiteral(" (and %1 more)").arg(warnings.size() - 1);
  }
  setWindowTitle(title);
}

void TForm1::ShowLegend(bool visible) {
  chart_.SetLegendVisible(visible);
  // Checked and shown agree also when this is called rather than the menu used.
  const QSignalBlocker quiet(LegendAction);
  LegendAction->setChecked(visible);
}

void TForm1::ClearChart() {
  chart_.Clear();
  FormCreate();
  ShowWarnings({});
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
