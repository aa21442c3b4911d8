#include "ui/main_window.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QTableWidget>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QSet>
#include <QTimer>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QLegend>
#include <QtCharts/QLegendMarker>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>
#include <QtTest/QTest>

#include <algorithm>
#include <clocale>
#include <fstream>
#include <iterator>
#include <sstream>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "io/model_file.h"
#include "nlayer/moments.h"
#include "ui/application.h"
#include "ui/model_dialog.h"
#include "tests/reflectance_file.h"
#include "tests/test_support.h"

namespace nlayer::ui {
namespace {

using testing::RelErr;
using testing::TempWorkDir;

const std::filesystem::path kOutputDir = NLAYER_TEST_OUTPUT_DIR;
const std::filesystem::path kAdultHead = std::filesystem::path(NLAYER_EXAMPLES_DIR) / "adult_head" / "input.dat";

// A picture kept with the build for a look by eye, named after the platform that drew it
// ("xcb" under Xvfb, "offscreen" otherwise).
void KeepPicture(const QImage& image, const std::string& name) {
  const std::string file = name + "_" + QGuiApplication::platformName().toStdString() + ".png";
  EXPECT_TRUE(image.save(QString::fromStdString((kOutputDir / file).string())));
}

// The adult head example with its last line, rho, replaced by `rho`.
std::string AdultHeadAt(const std::string& rho) {
  std::ifstream in(kAdultHead);
  std::stringstream text;
  text << in.rdbuf();
  std::string model = text.str();
  const std::size_t last = model.rfind('\n', model.size() - 2) + 1;
  return model.substr(0, last) + rho + "\n";
}

// The one-layer and two-layer media whose curves are known to 7 digits.
const char* const kOneLayer = "1\n1\n0.01\n1.4\n10\n20\n";
const char* const kTwoLayers = "2\n1\n0.01\n1.4\n5\n2\n0.03\n1.4\n15\n20\n";
constexpr double kOneLayerPeak = 1.180846e-08;  // at 430 ps
constexpr double kTwoLayerPeak = 8.130758e-09;  // at 380 ps
constexpr long double kSevenDigits = 5e-7L;     // the reference values are given to 7 digits
// The file keeps 15 significant digits, a relative rounding of at most 5e-15, which moves
// log10 by at most 2.2e-15; the plotted value itself is a double near 10.
constexpr double kLog10Of15Digits = 1e-14;

using Sample = testing::ReflectanceSample;

std::vector<Sample> ReadReflectance(const std::string& text) {
  testing::ReflectanceFile file = testing::ReadReflectanceFile(text);
  EXPECT_EQ(file.error, "") << "unreadable reflectance.dat";
  return std::move(file.samples);
}

const Sample& Peak(const std::vector<Sample>& samples) {
  return *std::max_element(samples.begin(), samples.end(), [](const Sample& a, const Sample& b) {
    return std::fabs(a.value) < std::fabs(b.value);
  });
}

// The series holds one point per line of the file: the time, and log10 of the reflectance's
// magnitude.
void ExpectSeriesShowsFile(const QLineSeries& series, const std::vector<Sample>& samples) {
  ASSERT_EQ(series.count(), static_cast<int>(samples.size()));
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const QPointF point = series.at(static_cast<int>(i));
    EXPECT_EQ(point.x(), samples[i].time_ps) << i;
    EXPECT_NEAR(point.y(), static_cast<double>(std::log10(std::fabs(samples[i].value))), kLog10Of15Digits) << i;
  }
}

std::vector<QLineSeries*> AllSeries(const TForm1& form) {
  return {form.Series1, form.Series2, form.Series3, form.Series4,
          form.Series5, form.Series6, form.Series7, form.Series8};
}

int PointsOutside(const TForm1& form, const std::vector<QLineSeries*>& drawn) {
  int count = 0;
  for (QLineSeries* series : AllSeries(form)) {
    if (std::find(drawn.begin(), drawn.end(), series) == drawn.end()) count += series->count();
  }
  return count;
}

void Show(TForm1& form) {
  form.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
}

void ClickStart(TForm1& form) { QTest::mouseClick(form.Button1, Qt::LeftButton); }

// Deals with the modal dialogs that open while it lives: each one the event loop of a modal
// dialog meets is handed to `answer`, which must close it. A dialog opens its own event loop,
// the only one a synchronous click lets run, so nothing happens unless a dialog opens.
class ModalAnswerer {
 public:
  explicit ModalAnswerer(std::function<void(QWidget&)> answer) : answer_(std::move(answer)) {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      if (QWidget* modal = QApplication::activeModalWidget()) {
        ++answered_;
        answer_(*modal);
      }
    });
    timer_.start(0);
  }
  int answered() const { return answered_; }

 private:
  std::function<void(QWidget&)> answer_;
  QTimer timer_;
  int answered_ = 0;
};

// Reads every error box that opens and presses its OK button.
class ErrorBoxReader {
 public:
  ErrorBoxReader()
      : answerer_([this](QWidget& modal) {
          auto* box = qobject_cast<QMessageBox*>(&modal);
          if (box == nullptr) {
            ADD_FAILURE() << "a modal window that is not a message box";
            modal.close();
            return;
          }
          title_ = box->windowTitle();
          text_ = box->text();
          details_ = box->detailedText();
          icon_ = box->icon();
          buttons_ = box->standardButtons();
          application_modal_ = box->windowModality() == Qt::ApplicationModal;
          box->button(QMessageBox::Ok)->click();
        }) {}

  int shown() const { return answerer_.answered(); }
  std::string title() const { return title_.toStdString(); }
  std::string text() const { return text_.toStdString(); }
  std::string details() const { return details_.toStdString(); }
  QMessageBox::Icon icon() const { return icon_; }
  QMessageBox::StandardButtons buttons() const { return buttons_; }
  bool application_modal() const { return application_modal_; }

 private:
  QString title_;
  QString text_;
  QString details_;
  QMessageBox::Icon icon_ = QMessageBox::NoIcon;
  QMessageBox::StandardButtons buttons_;
  bool application_modal_ = false;
  ModalAnswerer answerer_;  // last: it may fire only once the fields above exist
};

// Restores the C library's and Qt's default locale.
class LocaleScope {
 public:
  LocaleScope() : c_locale_(std::setlocale(LC_ALL, nullptr)) {}
  ~LocaleScope() {
    std::setlocale(LC_ALL, c_locale_.c_str());
    QLocale::setDefault(qt_locale_);
  }

 private:
  std::string c_locale_;
  QLocale qt_locale_;
};

int PixelsOfColour(const QImage& image, const QRect& area, QRgb colour) {
  int count = 0;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) {
      count += (image.pixel(x, y) & 0xffffffu) == (colour & 0xffffffu);
    }
  }
  return count;
}

// --- Start-up -------------------------------------------------------------------------------

TEST(StartUp, WindowHasTheStoredCaptionPlaceAndFont) {
  TForm1 form;
  EXPECT_EQ(form.windowTitle().toStdString(), "N-layered Media | time domain");
  EXPECT_EQ(form.pos(), QPoint(358, 216));
  EXPECT_EQ(form.size(), QSize(531, 351));
  EXPECT_EQ(form.font().family(), QStringLiteral("Courier New"));
  EXPECT_EQ(form.font().pixelSize(), 16);
  EXPECT_EQ(form.layout(), nullptr);
}

TEST(StartUp, ButtonAndChartSitAtTheirStoredPlaces) {
  TForm1 form;
  Show(form);
  EXPECT_EQ(form.Button1->parentWidget(), &form);
  EXPECT_EQ(form.Button1->text().toStdString(), "Start!");
  EXPECT_EQ(form.Button1->geometry(), QRect(16, 8, 73, 25));
  EXPECT_EQ(form.Button1->font().family(), QStringLiteral("Courier New"));
  EXPECT_EQ(form.Button1->font().pixelSize(), 13);
  EXPECT_EQ(form.Chart1->parentWidget(), &form);
  EXPECT_EQ(form.Chart1->geometry(), QRect(16, 40, 497, 305));
  EXPECT_EQ(form.Button1->nextInFocusChain(), form.Chart1);  // tab order: button, then chart
  EXPECT_EQ(form.pos(), QPoint(358, 216));
}

TEST(StartUp, FormCreateSetsRunIndexToMinusOne) {
  TForm1 form;
  EXPECT_EQ(form.Session().RunIndex(), -1);
  form.Session().SetRunIndex(5);
  form.FormCreate();
  EXPECT_EQ(form.Session().RunIndex(), -1);
}

TEST(StartUp, ChartHasEightEmptySeriesInTheirColours) {
  const QColor colours[] = {QColor(255, 0, 0),   QColor(0, 128, 0),     QColor(255, 0, 255),
                            QColor(0, 0, 255),   QColor(255, 255, 0),   QColor(255, 255, 255),
                            QColor(128, 128, 128), QColor(0, 128, 128)};
  TForm1 form;
  const std::vector<QLineSeries*> series = AllSeries(form);
  ASSERT_EQ(form.Chart1->chart()->series().size(), 8);
  for (int i = 0; i < 8; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(form.Chart1->chart()->series()[i], series[i]);  // Series1 is number 0, and so on
    EXPECT_EQ(series[i]->count(), 0);
    EXPECT_EQ(series[i]->pen().color(), colours[i]);
    EXPECT_FALSE(series[i]->pointsVisible());
  }
  EXPECT_FALSE(form.Chart1->chart()->legend()->isVisible());
}

TEST(StartUp, ResizingTheWindowKeepsTheButtonAndGrowsTheChartWithIt) {
  TForm1 form;
  Show(form);
  // The chart keeps its stored distances from the edges: 16 px left, 18 px right, 6 px below.
  for (const QSize size : {QSize(900, 700), QSize(300, 200), QSize(531, 351)}) {
    form.resize(size);
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(form.size(), size);
    EXPECT_EQ(form.Button1->geometry(), QRect(16, 8, 73, 25));
    EXPECT_EQ(form.Chart1->geometry(), QRect(16, 40, size.width() - 34, size.height() - 46));
  }
  EXPECT_EQ(form.Chart1->geometry(), QRect(16, 40, 497, 305));  // back at the stored size
}

// --- Runs -----------------------------------------------------------------------------------

TEST(Click, EachRunDrawsReflectanceDatIntoTheNextSeries) {
  TempWorkDir dir;
  dir.Write("input.dat", kOneLayer);
  TForm1 form;
  Show(form);
  ErrorBoxReader boxes;

  ClickStart(form);
  EXPECT_EQ(form.Session().RunIndex(), 0);
  const std::vector<Sample> first = ReadReflectance(dir.Read("reflectance.dat"));
  ASSERT_FALSE(first.empty());
  ExpectSeriesShowsFile(*form.Series1, first);
  EXPECT_EQ(PointsOutside(form, {form.Series1}), 0);
  EXPECT_EQ(Peak(first).time_ps, 430);
  EXPECT_LT(RelErr(Peak(first).value, kOneLayerPeak), kSevenDigits);
  const QList<QPointF> first_points = form.Series1->points();

  dir.Write("input.dat", kTwoLayers);
  ClickStart(form);
  EXPECT_EQ(form.Session().RunIndex(), 1);
  const std::vector<Sample> second = ReadReflectance(dir.Read("reflectance.dat"));
  ExpectSeriesShowsFile(*form.Series2, second);
  EXPECT_EQ(form.Series1->points(), first_points);  // the first curve stays
  EXPECT_EQ(PointsOutside(form, {form.Series1, form.Series2}), 0);
  EXPECT_EQ(Peak(second).time_ps, 380);
  EXPECT_LT(RelErr(Peak(second).value, kTwoLayerPeak), kSevenDigits);
  EXPECT_EQ(boxes.shown(), 0);

  // Both curves lie within the axes, which end on whole decades.
  const auto* x = qobject_cast<QValueAxis*>(form.Chart1->chart()->axes(Qt::Horizontal).at(0));
  const auto* y = qobject_cast<QValueAxis*>(form.Chart1->chart()->axes(Qt::Vertical).at(0));
  ASSERT_NE(x, nullptr);
  ASSERT_NE(y, nullptr);
  EXPECT_EQ(y->min(), std::floor(y->min()));
  EXPECT_EQ(y->max(), std::floor(y->max()));
  for (const QLineSeries* series : {form.Series1, form.Series2}) {
    for (const QPointF& point : series->points()) {
      EXPECT_TRUE(x->min() <= point.x() && point.x() <= x->max()) << point.x();
      EXPECT_TRUE(y->min() <= point.y() && point.y() <= y->max()) << point.y();
    }
  }
}

TEST(Click, WindowAfterTwoRunsShowsTheRedAndTheGreenCurve) {
  TempWorkDir dir;
  TForm1 form;
  Show(form);
  dir.Write("input.dat", kOneLayer);
  ClickStart(form);
  dir.Write("input.dat", kTwoLayers);
  ClickStart(form);
  ASSERT_GT(form.Series1->count(), 0);
  ASSERT_GT(form.Series2->count(), 0);

  const QImage image = form.grab().toImage();
  ASSERT_TRUE(image.save(QString::fromStdString((kOutputDir / "window_after_two_runs.png").string())));
  ASSERT_EQ(image.size(), form.size());
  QChart& chart = *form.Chart1->chart();
  const QRect plot = chart.plotArea().toAlignedRect().translated(form.Chart1->pos());
  const QRect window = image.rect();
  constexpr QRgb kRed = qRgb(255, 0, 0);
  constexpr QRgb kGreen = qRgb(0, 128, 0);
  // Long lines inside the plot area, and nothing of theirs outside it.
  EXPECT_GT(PixelsOfColour(image, plot, kRed), 50);
  EXPECT_GT(PixelsOfColour(image, plot, kGreen), 200);
  EXPECT_EQ(PixelsOfColour(image, window, kRed), PixelsOfColour(image, plot, kRed));
  EXPECT_EQ(PixelsOfColour(image, window, kGreen), PixelsOfColour(image, plot, kGreen));
  // Each curve passes through its peak: 430 ps for the one layer, 380 ps for the two layers.
  const auto near = [&](double time, double value, QLineSeries* series) {
    const QPoint centre =
        chart.mapToPosition(QPointF(time, std::log10(value)), series).toPoint() + form.Chart1->pos();
    return QRect(centre - QPoint(2, 2), QSize(5, 5));
  };
  EXPECT_GT(PixelsOfColour(image, near(430, kOneLayerPeak, form.Series1), kRed), 0);
  EXPECT_GT(PixelsOfColour(image, near(380, kTwoLayerPeak, form.Series2), kGreen), 0);
}

TEST(Click, ReflectanceDatIsTheSameUnderACommaLocale) {
  TempWorkDir dir;
  dir.Write("input.dat", kOneLayer);
  TForm1 form;
  Show(form);
  ErrorBoxReader boxes;
  LocaleScope restore;

  ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
  ClickStart(form);
  const std::string in_c = dir.Read("reflectance.dat");
  ASSERT_FALSE(in_c.empty());

  ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "scripts/install_deps.sh generates it";
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  char half[8];
  std::snprintf(half, sizeof half, "%.1f", 0.5);
  ASSERT_STREQ(half, "0,5");  // the comma locale is in force
  ClickStart(form);
  EXPECT_EQ(dir.Read("reflectance.dat"), in_c);
  EXPECT_EQ(form.Series2->points(), form.Series1->points());
  EXPECT_EQ(boxes.shown(), 0);
}

// --- Failures -------------------------------------------------------------------------------

TEST(Failure, MissingInputShowsTheBoxAndUsesUpItsSeries) {
  TempWorkDir dir;
  TForm1 form;
  Show(form);
  ErrorBoxReader boxes;

  ClickStart(form);
  ASSERT_EQ(boxes.shown(), 1);
  EXPECT_EQ(boxes.text(), "Datei nicht gefunden.");
  EXPECT_EQ(boxes.title(), "nlayer");
  EXPECT_EQ(boxes.icon(), QMessageBox::Critical);
  EXPECT_EQ(boxes.buttons(), QMessageBox::Ok);
  EXPECT_TRUE(boxes.application_modal());
  EXPECT_EQ(form.Session().RunIndex(), 0);
  EXPECT_EQ(PointsOutside(form, {}), 0);

  // The window goes on: the next run draws in the following colour, the failed one's stays empty.
  EXPECT_TRUE(form.isVisible());
  EXPECT_TRUE(form.Button1->isEnabled());
  dir.Write("input.dat", kOneLayer);
  ClickStart(form);
  EXPECT_EQ(boxes.shown(), 1);
  EXPECT_EQ(form.Session().RunIndex(), 1);
  EXPECT_EQ(form.Series1->count(), 0);
  ExpectSeriesShowsFile(*form.Series2, ReadReflectance(dir.Read("reflectance.dat")));
}

TEST(Failure, RunAfterTheEighthFindsNoSeriesAndKeepsTheChart) {
  TempWorkDir dir;
  dir.Write("input.dat", kOneLayer);
  TForm1 form;
  Show(form);
  ErrorBoxReader boxes;
  ClickStart(form);
  const QList<QPointF> first_points = form.Series1->points();
  ASSERT_FALSE(first_points.isEmpty());

  form.Session().SetRunIndex(7);  // as after eight runs: the next run is the ninth
  ClickStart(form);
  ASSERT_EQ(boxes.shown(), 1);
  EXPECT_EQ(boxes.text(), "Listenindex überschreitet das Maximum (8)");  // no full stop after ")"
  EXPECT_EQ(form.Session().RunIndex(), 8);
  EXPECT_EQ(dir.Read("reflectance.dat"), "");
  EXPECT_EQ(form.Series1->points(), first_points);
  EXPECT_EQ(PointsOutside(form, {form.Series1}), 0);

  ClickStart(form);  // every later run fails as well, with its own number
  ASSERT_EQ(boxes.shown(), 2);
  EXPECT_EQ(boxes.text(), "Listenindex überschreitet das Maximum (9)");
  EXPECT_EQ(dir.Read("reflectance.dat"), "");
}

// --- The chart's context menu ---------------------------------------------------------------

TEST(ChartMenu, OffersTheFirstFiveThenTheLabBenchEachWithItsOwnMnemonic) {
  TForm1 form;
  EXPECT_EQ(form.Chart1->contextMenuPolicy(), Qt::ActionsContextMenu);
  const QList<QAction*> actions = form.Chart1->actions();
  ASSERT_EQ(actions.size(), 11);
  const QList<QAction*> expected = {form.SaveImageAction, form.CopyDataAction, form.LegendAction,
                                    form.ClearChartAction, form.EditModelAction, nullptr,
                                    form.RenameCurveAction, form.CurvesAction, form.ResetZoomAction,
                                    form.LogScaleAction, form.FitAction};
  const char* const texts[] = {"&Save image…", "&Copy data", "&Legend", "Clea&r chart", "&Edit model…", "",
                               "Re&name curve…", "C&urves…", "Reset &zoom", "Lo&g scale", "&Fit measured curve…"};
  QSet<QChar> mnemonics;
  for (int i = 0; i < actions.size(); ++i) {
    SCOPED_TRACE(i);
    if (expected[i] == nullptr) {
      EXPECT_TRUE(actions[i]->isSeparator());
      continue;
    }
    EXPECT_EQ(actions[i], expected[i]);
    EXPECT_EQ(actions[i]->text().toStdString(), texts[i]);
    const QString text = actions[i]->text();
    mnemonics.insert(text.at(text.indexOf(u'&') + 1).toLower());
  }
  EXPECT_EQ(mnemonics.size(), 10);  // no two share a key
  EXPECT_TRUE(form.LegendAction->isCheckable());
  EXPECT_FALSE(form.LegendAction->isChecked());  // hidden at the start
  EXPECT_TRUE(form.LogScaleAction->isCheckable());
  EXPECT_TRUE(form.LogScaleAction->isChecked());  // log10 at the start
  // No control beyond the stored two, and Start! the one with the focus first.
  EXPECT_EQ(form.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly).size(), 2);
  EXPECT_EQ(form.WarningNote(), nullptr);
  EXPECT_EQ(form.CurvesTable(), nullptr);
}

TEST(ChartMenu, CopyDataPutsThePlottedPointsOnTheClipboard) {
  TempWorkDir dir;
  dir.Write("input.dat", kOneLayer);
  TForm1 form;
  Show(form);
  ClickStart(form);
  QGuiApplication::clipboard()->clear();
  form.CopyDataAction->trigger();
  const QStringList lines = QGuiApplication::clipboard()->text().split(u'\n', Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), form.Series1->count() + 1);
  EXPECT_EQ(lines[0].toStdString(), "series\tt[ps]\tlog10 reflectance [mm^-2 ps^-1]");
  for (int i = 0; i < form.Series1->count(); ++i) {
    const QStringList fields = lines[i + 1].split(u'\t');
    ASSERT_EQ(fields.size(), 3) << i;
    EXPECT_EQ(fields[0], QStringLiteral("1"));
    EXPECT_EQ(fields[1].toDouble(), form.Series1->at(i).x()) << i;  // exactly: nothing is lost
    EXPECT_EQ(fields[2].toDouble(), form.Series1->at(i).y()) << i;
  }
}

TEST(ChartMenu, SaveImageWritesTheChartAsPngOrSvgBySuffix) {
  TempWorkDir dir;
  dir.Write("input.dat", kOneLayer);
  TForm1 form;
  Show(form);
  ClickStart(form);

  form.SaveChartImage(dir.path() / "chart.png");
  QImage image;
  ASSERT_TRUE(image.load(QString::fromStdString((dir.path() / "chart.png").string()), "PNG"));
  EXPECT_EQ(image.size(), QSize(497, 305));
  EXPECT_GT(PixelsOfColour(image, image.rect(), qRgb(255, 0, 0)), 200);

  form.SaveChartImage(dir.path() / "chart.svg");
  const std::string svg = dir.Read("chart.svg");
  EXPECT_NE(svg.find("<svg"), std::string::npos);
  EXPECT_NE(svg.find("#ff0000"), std::string::npos);

  EXPECT_THROW(form.SaveChartImage(dir.path() / "chart.bmp"), std::runtime_error);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "chart.bmp"));
}

TEST(ChartMenu, SaveImageAsksForTheNameAndTakesTheChosenTypeForANameWithoutSuffix) {
  TempWorkDir dir;
  TForm1 form;
  Show(form);
  const QString name = QString::fromStdString((dir.path() / "picture").string());
  ModalAnswerer answer([&](QWidget& modal) {
    auto* dialog = qobject_cast<QFileDialog*>(&modal);
    if (dialog == nullptr) {
      ADD_FAILURE() << "a modal window that is not a file dialog";
      modal.close();
      return;
    }
    dialog->selectNameFilter(QStringLiteral("SVG image (*.svg)"));
    dialog->selectFile(name);
    static_cast<QDialog*>(dialog)->accept();  // public in QDialog
  });
  form.SaveImageAction->trigger();
  EXPECT_EQ(answer.answered(), 1);
  EXPECT_NE(dir.Read("picture.svg").find("<svg"), std::string::npos);
}

TEST(ChartMenu, AFailedSaveShowsTheErrorBox) {
  TempWorkDir dir;
  TForm1 form;
  Show(form);
  const QString name = QString::fromStdString((dir.path() / "picture.gif").string());
  int dialogs = 0;
  QString error;
  ModalAnswerer answer([&](QWidget& modal) {
    if (auto* dialog = qobject_cast<QFileDialog*>(&modal)) {
      ++dialogs;
      dialog->selectFile(name);
      static_cast<QDialog*>(dialog)->accept();  // public in QDialog
    } else if (auto* box = qobject_cast<QMessageBox*>(&modal)) {
      error = box->text();
      box->button(QMessageBox::Ok)->click();
    } else {
      ADD_FAILURE() << "an unexpected modal window";
      modal.close();
    }
  });
  form.SaveImageAction->trigger();
  EXPECT_EQ(dialogs, 1);
  EXPECT_TRUE(error.contains(QStringLiteral("picture.gif"))) << error.toStdString();
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "picture.gif"));
}

// --- Comparing curves -----------------------------------------------------------------------

TEST(Compare, TwoHeadsElevenDecadesApartKeepEveryLeftLabelReadableAndTheLegendNamesThem) {
  TempWorkDir dir;
  TForm1 form;
  Show(form);
  ErrorBoxReader boxes;
  dir.Write("input.dat", AdultHeadAt("10"));
  ClickStart(form);
  dir.Write("input.dat", AdultHeadAt("30"));
  ClickStart(form);
  ASSERT_EQ(boxes.shown(), 0);
  QCoreApplication::sendPostedEvents();

  // The peak at 10 mm to six decades below the one at 30 mm, a label at each decade, none cut
  // short (the labels themselves: chart_adapter_test).
  const auto* y = qobject_cast<QValueAxis*>(form.Chart1->chart()->axes(Qt::Vertical).at(0));
  ASSERT_GE(y->max() - y->min(), 11);
  EXPECT_EQ(y->tickCount(), y->max() - y->min() + 1);
  EXPECT_FALSE(y->labelsTruncated());
  KeepPicture(form.grab().toImage(), "two_heads_eleven_decades");

  form.LegendAction->trigger();
  QCoreApplication::sendPostedEvents();
  QLegend& legend = *form.Chart1->chart()->legend();
  ASSERT_TRUE(legend.isVisible());
  QStringList named;
  for (QLegendMarker* marker : legend.markers()) {
    if (marker->isVisible()) named << marker->label();
  }
  EXPECT_EQ(named, (QStringList{QStringLiteral("1: input.dat, ρ = 10 mm"), QStringLiteral("2: input.dat, ρ = 30 mm")}));
  EXPECT_TRUE(form.Chart1->chart()->plotArea().contains(legend.geometry()));  // over the plot, not beside it
  KeepPicture(form.grab().toImage(), "legend");
  form.LegendAction->trigger();
  EXPECT_FALSE(legend.isVisible());
}

TEST(Compare, ClearChartStartsAgainWithARedCurveInSeries1) {
  TempWorkDir dir;
  TForm1 form;
  Show(form);
  ErrorBoxReader boxes;
  ClickStart(form);  // fails: no input.dat, and uses up Series1
  dir.Write("input.dat", kTwoLayers);
  ClickStart(form);
  ASSERT_GT(form.Series2->count(), 0);
  form.LegendAction->trigger();

  form.ClearChartAction->trigger();
  EXPECT_EQ(form.Session().RunIndex(), -1);
  EXPECT_EQ(PointsOutside(form, {}), 0);
  const auto* y = qobject_cast<QValueAxis*>(form.Chart1->chart()->axes(Qt::Vertical).at(0));
  EXPECT_EQ(y->min(), -14);  // the empty chart's axes, as at the start
  EXPECT_EQ(y->max(), -7);

  dir.Write("input.dat", kOneLayer);
  ClickStart(form);
  EXPECT_EQ(boxes.shown(), 1);
  ExpectSeriesShowsFile(*form.Series1, ReadReflectance(dir.Read("reflectance.dat")));
  EXPECT_EQ(PointsOutside(form, {form.Series1}), 0);
  QCoreApplication::sendPostedEvents();
  const QImage image = form.grab().toImage();
  KeepPicture(image, "cleared_then_red");
  const QRect plot = form.Chart1->chart()->plotArea().toAlignedRect().translated(form.Chart1->pos());
  EXPECT_GT(PixelsOfColour(image, plot, qRgb(255, 0, 0)), 200);
  EXPECT_EQ(PixelsOfColour(image, image.rect(), qRgb(0, 128, 0)), 0);  // the green curve has gone
}

// --- Understanding a failure and a model ----------------------------------------------------

TEST(Explain, TheErrorBoxKeepsItsTextAndItsDetailsNameTheLine) {
  TempWorkDir dir;
  TForm1 form;
  Show(form);
  ErrorBoxReader boxes;
  // Line 6 is the bottom layer's mus'.
  dir.Write("input.dat", "2\n1\n0.01\n1.4\n5\n0\n0.03\n1.4\n15\n20\n");
  ClickStart(form);
  ASSERT_EQ(boxes.shown(), 1);
  EXPECT_EQ(boxes.text(), "Gleitkommadivision durch Null.");
  EXPECT_EQ(boxes.title(), "nlayer");
  EXPECT_EQ(boxes.details().rfind("input.dat:6: musp of layer 2 is 0", 0), 0u) << boxes.details();

  form.Session().SetRunIndex(7);
  dir.Write("input.dat", kOneLayer);
  ClickStart(form);
  ASSERT_EQ(boxes.shown(), 2);
  EXPECT_EQ(boxes.text(), "Listenindex überschreitet das Maximum (8)");
  EXPECT_NE(boxes.details().find("\"Clear chart\""), std::string::npos) << boxes.details();
}

TEST(Explain, AModelWithoutPhysicalMeaningRunsWithAWarningInTheTitleBar) {
  TempWorkDir dir;
  TForm1 form;
  Show(form);
  ErrorBoxReader boxes;
  dir.Write("input.dat", "2\n1\n0.01\n1.4\n-5\n2\n0.03\n1.4\n15\n20\n");  // line 5: a negative thickness
  ClickStart(form);
  EXPECT_EQ(boxes.shown(), 0);
  EXPECT_GT(form.Series1->count(), 0);
  EXPECT_EQ(form.windowTitle(), TForm1::kCaption + QStringLiteral(" — warning: input.dat:5: d of layer 1 is -5; a "
                                                                   "layer of zero or negative thickness has no "
                                                                   "physical meaning"));
  dir.Write("input.dat", kOneLayer);
  ClickStart(form);
  EXPECT_EQ(form.windowTitle().toStdString(), "N-layered Media | time domain");
}

// The adult head at 31 mm runs on the extended panels: the user is told so in the curve's tool
// tip, not in the red note or the title bar, which stay for what the user should change.
TEST(Explain, ANoteOnTheRuleGoesToTheToolTipNotTheWarningBar) {
  TempWorkDir dir;
  std::ifstream example(kAdultHead);
  std::string head((std::istreambuf_iterator<char>(example)), std::istreambuf_iterator<char>());
  const std::size_t rho_line = head.rfind("\n30 ") + 1;
  dir.Write("input.dat", head.substr(0, rho_line) + "31" + head.substr(rho_line + 2));
  TForm1 form;
  Show(form);
  ErrorBoxReader boxes;
  ClickStart(form);
  EXPECT_EQ(boxes.shown(), 0);
  EXPECT_EQ(form.windowTitle(), TForm1::kCaption);
  EXPECT_TRUE(form.WarningNote() == nullptr || !form.WarningNote()->isVisible());
  form.ShowCurvesPanel();
  ASSERT_EQ(form.CurvesTable()->rowCount(), 1);
  const QString tip = form.CurvesTable()->item(0, 0)->toolTip();
  EXPECT_TRUE(tip.startsWith(QStringLiteral("note: input.dat:18: rho is 31 mm, where the 960-point rule"))) << tip.toStdString();
  // At 30 mm the 960-point rule holds: no note.
  dir.Write("input.dat", head);
  ClickStart(form);
  ASSERT_EQ(form.CurvesTable()->rowCount(), 2);
  EXPECT_EQ(form.CurvesTable()->item(1, 0)->toolTip(), QString());
}

TEST(Explain, EditModelShowsTheFileAndTheNextClickReadsWhatItSaved) {
  TempWorkDir dir;
  std::filesystem::copy_file(kAdultHead, dir.path() / "input.dat");
  TForm1 form;
  Show(form);
  int dialogs = 0;
  ModalAnswerer answer([&](QWidget& modal) {
    auto* dialog = qobject_cast<ModelDialog*>(&modal);
    if (dialog == nullptr) {
      ADD_FAILURE() << "a modal window that is not the model dialog";
      modal.close();
      return;
    }
    ++dialogs;
    EXPECT_EQ(dialog->LayerTable->rowCount(), 4);
    KeepPicture(dialog->grab().toImage(), "model_dialog_four_layers");
    dialog->RhoEdit->setText(QStringLiteral("15"));
    dialog->SaveButton->click();
  });
  form.EditModelAction->trigger();
  ASSERT_EQ(dialogs, 1);
  const ModelFile saved = ReadModelFile(dir.path() / "input.dat");
  EXPECT_EQ(saved.rho_mm, 15);
  EXPECT_EQ(saved.medium.layers.size(), 4u);
  ClickStart(form);
  EXPECT_EQ(form.Session().Rho(), 15);
  EXPECT_GT(form.Series1->count(), 0);
}

// --- The lab bench: comparing, measuring, zooming ----------------------------------------

// The adult head at 30 mm with the brain's mua (line 15) at `mua`.
std::string HeadWithBrainMua(const std::string& mua) {
  std::string model = AdultHeadAt("30");
  const std::string brain = "0.02   brain: absorption";
  return model.replace(model.find(brain), 4, mua);
}

QStringList LegendLabels(const TForm1& form) {
  QStringList labels;
  for (QLegendMarker* marker : form.Chart1->chart()->legend()->markers()) {
    if (marker->isVisible()) labels << marker->label();
  }
  return labels;
}

TEST(Bench, TwoRunsDifferingInOneMuaSayHowInTheLegendAndACurveCanBeRenamed) {
  TempWorkDir dir;
  TForm1 form;
  Show(form);
  dir.Write("input.dat", HeadWithBrainMua("0.02"));
  ClickStart(form);
  dir.Write("input.dat", HeadWithBrainMua("0.03"));
  ClickStart(form);
  form.LegendAction->trigger();
  QCoreApplication::sendPostedEvents();
  EXPECT_EQ(LegendLabels(form), (QStringList{QStringLiteral("1: input.dat, ρ = 30 mm"),
                                             QStringLiteral("2: input.dat, ρ = 30 mm, μa₄ 0.02 → 0.03")}));
  KeepPicture(form.grab().toImage(), "two_runs_one_mua_apart");

  // Every kind of change, and the cap.
  const Medium two{{Layer{1, 0.01L, 1.4L, 5}, Layer{2, 0.03L, 1.4L, 15}}};
  const Medium three{{Layer{1.5L, 0.01L, 1.33L, 5}, Layer{2, 0.03L, 1.4L, 12}, Layer{1, 0.01L, 1.4L, 10}}};
  EXPECT_EQ(ModelChanges(two, three, 9).toStdString(), "layers 2 → 3, μs′₁ 1 → 1.5, n₁ 1.4 → 1.33, d₂ 15 → 12");
  EXPECT_EQ(ModelChanges(two, three, 2).toStdString(), "layers 2 → 3, μs′₁ 1 → 1.5, +2 more");
  EXPECT_EQ(ModelChanges(two, two), QString());

  // Two clicks on the marker ask for the new name; an empty name returns to the run's.
  int asked = 0;
  ModalAnswerer answer([&](QWidget& modal) {
    ++asked;
    auto* name = modal.findChild<QLineEdit*>();
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->text().toStdString(), "2: input.dat, ρ = 30 mm, μa₄ 0.02 → 0.03");
    EXPECT_EQ(modal.focusWidget(), name);
    name->setText(QStringLiteral("brain darker"));
    QTest::keyClick(name, Qt::Key_Return);  // Enter accepts
  });
  QLegendMarker* marker = form.Chart1->chart()->legend()->markers(form.Series2).front();
  emit marker->clicked();
  emit marker->clicked();
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(form.CurveName(1).toStdString(), "brain darker");
  form.RenameCurve(1, QString());
  EXPECT_EQ(form.CurveName(1).toStdString(), "2: input.dat, ρ = 30 mm, μa₄ 0.02 → 0.03");
}

TEST(Bench, TheCurvesPanelListsTheLibrarysMomentsOfEachRunsModelAtItsRho) {
  TempWorkDir dir;
  TForm1 form;
  Show(form);
  dir.Write("input.dat", kOneLayer);
  ClickStart(form);
  std::filesystem::copy_file(kAdultHead, dir.path() / "input.dat", std::filesystem::copy_options::overwrite_existing);
  ClickStart(form);
  form.ShowCurvesPanel();
  QTableWidget& table = *form.CurvesTable();
  ASSERT_EQ(table.rowCount(), 2);
  const std::pair<Medium, long double> models[] = {{Medium{{Layer{1, 0.01L, 1.4L, 10}}}, 20},
                                                   {ReadModelFile(kAdultHead).medium, 30}};
  for (int row = 0; row < 2; ++row) {
    SCOPED_TRACE(row);
    const Moments expected = ModelMoments(models[row].first, {models[row].second}).at(0);
    EXPECT_EQ(table.item(row, 0)->text(), form.CurveName(row));
    EXPECT_EQ(table.item(row, 1)->data(Qt::UserRole).toDouble(), expected.total);
    EXPECT_EQ(table.item(row, 2)->data(Qt::UserRole).toDouble(), expected.mean_time_ps);
    EXPECT_EQ(table.item(row, 3)->data(Qt::UserRole).toDouble(), expected.variance_ps2);
  }
  // The plotted curve agrees: its area (10 ps steps) is the total within the curve's cut tails.
  double area = 0;
  for (const QPointF& point : form.Series1->points()) area += std::pow(10.0, point.y()) * 10;
  EXPECT_LT(RelErr(area, table.item(0, 1)->data(Qt::UserRole).toDouble()), 1e-2);
  KeepPicture(form.CurvesTable()->window()->grab().toImage(), "curves_panel");
  form.ClearChartAction->trigger();
  EXPECT_EQ(table.rowCount(), 0);
}

TEST(Bench, ZoomAndResetChangeAndRestoreTheAxesAndTheLinearAxisShowsTheReflectance) {
  TempWorkDir dir;
  dir.Write("input.dat", kOneLayer);
  TForm1 form;
  Show(form);
  ClickStart(form);
  QChart& chart = *form.Chart1->chart();
  const auto* x = qobject_cast<QValueAxis*>(chart.axes(Qt::Horizontal).at(0));
  const auto* y = qobject_cast<QValueAxis*>(chart.axes(Qt::Vertical).at(0));
  const auto ranges = [&] { return std::vector<double>{x->min(), x->max(), y->min(), y->max()}; };
  const std::vector<double> fitted = ranges();
  const QList<QPointF> log_points = form.Series1->points();
  const QString copied = form.Chart().PointsAsText();

  // The middle of the plot: each axis shows half of its span, around its middle.
  const QRectF plot = chart.plotArea();
  form.Chart().ZoomIn(plot.adjusted(plot.width() / 4, plot.height() / 4, -plot.width() / 4, -plot.height() / 4));
  const std::vector<double> zoomed = ranges();
  EXPECT_NEAR(zoomed[1] - zoomed[0], (fitted[1] - fitted[0]) / 2, 1e-9 * fitted[1]);
  EXPECT_NEAR(zoomed[3] - zoomed[2], (fitted[3] - fitted[2]) / 2, 1e-9);
  EXPECT_NEAR(zoomed[0] + zoomed[1], fitted[0] + fitted[1], 1e-9 * fitted[1]);
  QCoreApplication::sendPostedEvents();
  KeepPicture(form.grab().toImage(), "zoomed");
  form.resize(700, 500);  // a new plot size keeps the zoom
  QCoreApplication::sendPostedEvents();
  EXPECT_EQ(ranges(), zoomed);
  form.ResetZoomAction->trigger();
  EXPECT_EQ(ranges(), fitted);

  form.LogScaleAction->trigger();  // off: the reflectance itself
  ASSERT_EQ(form.Series1->count(), log_points.size());
  for (int i = 0; i < log_points.size(); ++i) {
    EXPECT_EQ(form.Series1->at(i).y(), std::pow(10.0, log_points[i].y())) << i;
  }
  EXPECT_EQ(y->min(), 0);
  EXPECT_GE(y->max(), kOneLayerPeak);
  EXPECT_LT(y->max(), 2 * kOneLayerPeak);
  EXPECT_EQ(form.Chart().PointsAsText(), copied);  // "Copy data" stays log10
  form.LogScaleAction->trigger();
  EXPECT_EQ(form.Series1->points(), log_points);
  EXPECT_EQ(ranges(), fitted);
}

TEST(Bench, MaximisedTheChartFillsTheWindowAndTheLegendCoversNoCurve) {
  TempWorkDir dir;
  TForm1 form;
  Show(form);
  for (const char* rho : {"10", "20", "30"}) {
    dir.Write("input.dat", AdultHeadAt(rho));
    ClickStart(form);
  }
  dir.Write("input.dat", kTwoLayers);
  ClickStart(form);
  form.LegendAction->trigger();
  // Large enough for the legend over the plot or under it (a small plot gives up too little
  // room, and the legend then takes the corner the fewest curves cross).
  for (const QSize size : {QSize(1600, 1000), QSize(800, 560)}) {
    SCOPED_TRACE(size.width());
    form.resize(size);
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(form.Chart1->geometry(), QRect(16, 40, size.width() - 34, size.height() - 46));
    const QLegend& legend = *form.Chart1->chart()->legend();
    ASSERT_TRUE(legend.isVisible());
    EXPECT_EQ(LegendLabels(form).size(), 4);
    // No drawn point lies under the legend (a legend below the plot lies outside it anyway).
    int covered = 0;
    for (QLineSeries* series : AllSeries(form)) {
      for (const QPointF& point : series->points()) {
        covered += legend.geometry().contains(form.Chart1->chart()->mapToPosition(point, series));
      }
    }
    EXPECT_EQ(covered, 0);
    KeepPicture(form.grab().toImage(), size.width() > 800 ? "maximised_legend" : "legend_below");
  }
}

TEST(Bench, AWarningStaysUnderTheChartUntilTheNextRun) {
  TempWorkDir dir;
  TForm1 form;
  Show(form);
  dir.Write("input.dat", "2\n1\n0.01\n1.4\n-5\n2\n0.03\n1.4\n15\n20\n");
  ClickStart(form);
  QLabel* note = form.WarningNote();
  ASSERT_NE(note, nullptr);
  EXPECT_TRUE(note->isVisible());
  EXPECT_TRUE(note->text().startsWith(QStringLiteral("warning: input.dat:5: d of layer 1 is -5"))) << note->text().toStdString();
  EXPECT_TRUE(note->toolTip().endsWith(QStringLiteral("has no physical meaning"))) << note->toolTip().toStdString();
  EXPECT_EQ(note->geometry().top(), form.Chart1->geometry().bottom() + 1);  // under the chart
  EXPECT_LE(note->geometry().bottom(), form.height() - 6);
  KeepPicture(form.grab().toImage(), "warning_note");
  dir.Write("input.dat", kOneLayer);
  ClickStart(form);
  EXPECT_FALSE(note->isVisible());
  EXPECT_EQ(form.Chart1->geometry(), QRect(16, 40, 497, 305));
}

// --- Program start and end -----------------------------------------------------------------

TEST(Program, StartsWithForm1AndEndsWhenItIsClosed) {
  auto* application = qobject_cast<Application*>(QCoreApplication::instance());
  ASSERT_NE(application, nullptr);
  EXPECT_EQ(QCoreApplication::applicationName().toStdString(), "nlayer");
  TForm1& form = application->CreateForm();
  EXPECT_EQ(Form1, &form);
  EXPECT_EQ(form.Session().RunIndex(), -1);
  form.show();
  QTimer::singleShot(0, &form, &QWidget::close);
  EXPECT_EQ(application->exec(), 0);  // returns once the main window has closed
  EXPECT_FALSE(form.isVisible());
}

}  // namespace
}  // namespace nlayer::ui
