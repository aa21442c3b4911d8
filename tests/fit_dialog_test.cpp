#include "ui/fit_dialog.h"

#include <gtest/gtest.h>

#include <QAbstractTextDocumentLayout>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QValueAxis>
#include <QtTest/QTest>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "io/curve_file.h"
#include "io/model_file.h"
#include "tests/test_support.h"

namespace nlayer::ui {
namespace {

namespace fs = std::filesystem;
using testing::TempWorkDir;

const fs::path kFitExample = fs::path(NLAYER_EXAMPLES_DIR) / "fit";
const fs::path kOutputDir = NLAYER_TEST_OUTPUT_DIR;

// The worked example's truth (examples/fit/make_data.py): mus' 1/mm, mua 0.01/mm.
constexpr double kTrueMua = 0.01;
constexpr double kTrueMusp = 1.0;

bool WaitForTheEnd(FitDialog& dialog) {
  if (!dialog.Running()) return true;
  QSignalSpy ended(&dialog, &FitDialog::fitEnded);
  return ended.wait(120000);
}

int Row(const QTableWidget& table, const QString& name) {
  for (int row = 0; row < table.rowCount(); ++row) {
    if (table.item(row, kFitNameColumn)->text() == name) return row;
  }
  return -1;
}

TEST(FitDialog, FitsTheExampleCurveAsTheLibraryDoesAndShowsValuesCorrelationsAndCharts) {
  FitDialog dialog(kFitExample / "input.dat");
  dialog.resize(1400, 900);
  dialog.show();
  // The example's files lie beside its model; mua1 and mus'1 are ticked from the start.
  EXPECT_EQ(dialog.MeasuredEdit->text().toStdString(), (kFitExample / "measured.csv").string());
  EXPECT_EQ(dialog.IrfEdit->text().toStdString(), (kFitExample / "irf.csv").string());
  EXPECT_EQ(dialog.RhoEdit->text(), QStringLiteral("30"));
  ASSERT_EQ(dialog.ParameterTable->rowCount(), 2);
  EXPECT_EQ(dialog.ParameterTable->item(0, kFitNameColumn)->checkState(), Qt::Checked);
  EXPECT_EQ(dialog.ParameterTable->item(1, kFitStartColumn)->text(), QStringLiteral("1.3"));
  EXPECT_TRUE(dialog.FitButton->isDefault());

  ASSERT_TRUE(dialog.StartFit());
  EXPECT_FALSE(dialog.FitButton->isEnabled());
  EXPECT_TRUE(dialog.CancelButton->isEnabled());
  EXPECT_EQ(dialog.Busy->maximum(), 0);  // busy
  ASSERT_TRUE(WaitForTheEnd(dialog));
  ASSERT_TRUE(dialog.Result().has_value()) << dialog.StatusLabel->text().toStdString();
  const FitResult& result = *dialog.Result();

  // The same fit through the library from the files as nlayer-fit reads them.
  MeasuredCurve curve;
  const CurveFile measured = ReadCurveFile(kFitExample / "measured.csv");
  const CurveFile irf = ReadCurveFile(kFitExample / "irf.csv");
  curve.t_ps = measured.t_ps;
  curve.counts = measured.counts;
  curve.irf = irf.counts;
  curve.irf_t_ps = irf.t_ps;
  curve.rho_mm = 30;
  const FitResult direct =
      FitCurve(curve, ReadModelFile(kFitExample / "input.dat").medium, {{"mua1"}, {"musp1"}});
  ASSERT_EQ(result.estimates.size(), direct.estimates.size());
  for (std::size_t i = 0; i < direct.estimates.size(); ++i) {
    EXPECT_EQ(result.estimates[i].name, direct.estimates[i].name);
    EXPECT_NEAR(result.estimates[i].value, direct.estimates[i].value, 1e-9 * std::fabs(direct.estimates[i].value));
  }
  // Within three standard errors of the truth the example was simulated with.
  const FitEstimate* mua = result.Find("mua1");
  const FitEstimate* musp = result.Find("musp1");
  ASSERT_TRUE(mua && musp);
  EXPECT_LT(std::fabs(mua->value - kTrueMua), 3 * mua->standard_error);
  EXPECT_LT(std::fabs(musp->value - kTrueMusp), 3 * musp->standard_error);

  // Values with their errors, the verdict, a symmetric correlation matrix with ones on its
  // diagonal, and the counts and residual charts over one time axis.
  const QString text = dialog.ResultText->toPlainText();
  EXPECT_TRUE(text.contains(QStringLiteral("mua1"))) << text.toStdString();
  EXPECT_TRUE(text.contains(QStringLiteral(" ± ")));
  EXPECT_TRUE(text.contains(result.success ? QStringLiteral("No flag") : QStringLiteral("Do not trust")));
  const int n = static_cast<int>(result.estimates.size());
  ASSERT_EQ(dialog.CorrelationTable->rowCount(), n);
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(dialog.CorrelationTable->item(i, i)->data(Qt::UserRole).toDouble(), 1.0);
    for (int j = 0; j < n; ++j) {
      EXPECT_EQ(dialog.CorrelationTable->item(i, j)->data(Qt::UserRole).toDouble(),
                result.correlation[static_cast<std::size_t>(i * n + j)]);
    }
  }
  QCoreApplication::processEvents();
  QChart* counts = dialog.CountsView->chart();
  QChart* residuals = dialog.ResidualView->chart();
  ASSERT_EQ(counts->series().size(), 2);
  ASSERT_EQ(residuals->series().size(), 2);
  const auto* top_time = qobject_cast<QValueAxis*>(counts->axes(Qt::Horizontal).at(0));
  const auto* bottom_time = qobject_cast<QValueAxis*>(residuals->axes(Qt::Horizontal).at(0));
  EXPECT_EQ(top_time->min(), bottom_time->min());
  EXPECT_EQ(top_time->max(), bottom_time->max());
  EXPECT_NEAR(counts->plotArea().left(), residuals->plotArea().left(), 1);
  EXPECT_NEAR(counts->plotArea().right(), residuals->plotArea().right(), 1);
  dialog.grab().save(QString::fromStdString((kOutputDir / ("fit_dialog_" + QGuiApplication::platformName().toStdString() + ".png")).string()));

  // Save result writes the library's JSON form.
  TempWorkDir dir;
  dialog.SaveResult(dir.path() / "fit.json");
  EXPECT_EQ(dir.Read("fit.json"), result.ToJson());
}

// A fit held below the truth by its bound raises flags; at the dialog's own size the verdict and
// every flag show in the result pane without scrolling.
TEST(FitDialog, TheVerdictAndItsFlagsShowWithoutScrolling) {
  FitDialog dialog(kFitExample / "input.dat");
  dialog.show();
  const int mua = Row(*dialog.ParameterTable, QStringLiteral("mua1"));
  dialog.ParameterTable->item(mua, kFitStartColumn)->setText(QStringLiteral("0.004"));
  dialog.ParameterTable->item(mua, kFitUpperColumn)->setText(QStringLiteral("0.005"));  // half the truth
  ASSERT_TRUE(dialog.StartFit());
  ASSERT_TRUE(WaitForTheEnd(dialog));
  ASSERT_TRUE(dialog.Result().has_value()) << dialog.StatusLabel->text().toStdString();
  const FitResult& result = *dialog.Result();
  ASSERT_FALSE(result.success);
  ASSERT_FALSE(result.flags.empty());
  QCoreApplication::processEvents();
  QTextBrowser& pane = *dialog.ResultText;
  EXPECT_EQ(pane.verticalScrollBar()->value(), 0);
  QTextDocument& document = *pane.document();
  const auto visible = [&](const QString& text) {
    const QTextCursor found = document.find(text);
    if (found.isNull()) return false;
    const QRectF block = document.documentLayout()->blockBoundingRect(found.block());
    return block.bottom() <= pane.viewport()->height();
  };
  EXPECT_TRUE(visible(QStringLiteral("Do not trust this fit")));
  for (const FitFlag& flag : result.flags) {
    // The sentence's first words: a long one wraps, and its block is what has to fit.
    const QString start = QString::fromStdString(flag.sentence).left(30);
    EXPECT_TRUE(visible(start)) << flag.sentence << " needs scrolling; the pane is " << pane.viewport()->height()
                                << " px tall";
  }
  dialog.grab().save(QString::fromStdString((kOutputDir / "fit_dialog_flags.png").string()));
}

TEST(FitDialog, ACancelledFitLeavesNoResultAndBadInputSaysWhy) {
  FitDialog dialog(kFitExample / "input.dat");
  ASSERT_TRUE(dialog.StartFit());
  dialog.CancelFit();
  ASSERT_TRUE(WaitForTheEnd(dialog));
  EXPECT_FALSE(dialog.Result().has_value());
  EXPECT_TRUE(dialog.StatusLabel->text().startsWith(QStringLiteral("Cancelled"))) << dialog.StatusLabel->text().toStdString();
  EXPECT_FALSE(dialog.SaveButton->isEnabled());
  EXPECT_TRUE(dialog.FitButton->isEnabled());

  dialog.ParameterTable->item(Row(*dialog.ParameterTable, QStringLiteral("mua1")), kFitLowerColumn)->setText(QStringLiteral("0,001"));
  EXPECT_FALSE(dialog.StartFit());
  EXPECT_TRUE(dialog.StatusLabel->text().contains(QStringLiteral("the lower bound of mua1 \"0,001\" is not a number")))
      << dialog.StatusLabel->text().toStdString();
  dialog.IrfEdit->setText(QStringLiteral("/nonexistent/irf.csv"));
  EXPECT_FALSE(dialog.StartFit());
  EXPECT_TRUE(dialog.StatusLabel->text().contains(QStringLiteral("/nonexistent/irf.csv"))) << dialog.StatusLabel->text().toStdString();

  // Without a mouse: every caption's key leads to its field, Tab walks from the files to Fit,
  // and Esc closes.
  for (const QLabel* label : dialog.findChildren<QLabel*>()) {
    if (label->text().contains(u'&')) {
      EXPECT_NE(label->buddy(), nullptr) << label->text().toStdString();
    }
  }
  std::vector<QWidget*> stops;
  for (QWidget* widget = dialog.MeasuredEdit; stops.size() < 8; widget = widget->nextInFocusChain()) {
    if (widget->focusPolicy() & Qt::TabFocus) stops.push_back(widget);
  }
  EXPECT_EQ(stops[2], dialog.IrfEdit);
  EXPECT_EQ(stops[4], dialog.RhoEdit);
  EXPECT_EQ(stops[5], dialog.ParameterTable);
  EXPECT_EQ(stops[6], dialog.BackgroundCheck);
  EXPECT_EQ(stops[7], dialog.FitButton);
  dialog.show();
  QTest::keyClick(&dialog, Qt::Key_Escape);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.result(), QDialog::Rejected);
}

}  // namespace
}  // namespace nlayer::ui
