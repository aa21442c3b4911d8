#include "ui/main_window.h"

#include <QAction>
#include <QClipboard>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFont>
#include <QGuiApplication>
#include <QPushButton>
#include <QtCharts/QChartView>

#include "app/model_state.h"
#include "app/run.h"
#include "ui/application.h"
#include "ui/chart_image.h"

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

}  // namespace

TForm1::TForm1(QWidget* parent) : QWidget(parent) {
  CreateControls();
  CreateChartMenu();
  FormCreate();
}

TForm1::~TForm1() = default;

void TForm1::CreateControls() {
  setWindowTitle(QStringLiteral("N-layered Media | time domain"));
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
  Chart1->setContextMenuPolicy(Qt::ActionsContextMenu);
}

void TForm1::FormCreate() { State.RunIndex = -1; }

void TForm1::Button1Click() { RunModel(chart_); }

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
