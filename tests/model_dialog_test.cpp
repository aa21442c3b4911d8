#include "ui/model_dialog.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>

#include "io/input_reader.h"
#include "io/model_file.h"
#include "tests/test_support.h"

namespace nlayer::ui {
namespace {

namespace fs = std::filesystem;
using testing::TempWorkDir;

const fs::path kExamples = NLAYER_EXAMPLES_DIR;

void SetCell(ModelDialog& dialog, int row, int column, const char* text) {
  dialog.LayerTable->item(row, column)->setText(QString::fromUtf8(text));
}

bool Marked(const ModelDialog& dialog, int row, int column) {
  return !dialog.LayerTable->item(row, column)->toolTip().isEmpty();
}

void ExpectSameModel(const ModelFile& a, const ModelFile& b) {
  ASSERT_EQ(a.medium.layers.size(), b.medium.layers.size());
  for (std::size_t i = 0; i < a.medium.layers.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(a.medium.layers[i].musp, b.medium.layers[i].musp);
    EXPECT_EQ(a.medium.layers[i].mua, b.medium.layers[i].mua);
    EXPECT_EQ(a.medium.layers[i].n, b.medium.layers[i].n);
    EXPECT_EQ(a.medium.layers[i].d, b.medium.layers[i].d);
  }
  EXPECT_EQ(a.rho_mm, b.rho_mm);
}

TEST(ModelDialog, AnExampleSavedUnchangedReadsBackToTheSameValuesOneValueAndCommentPerLine) {
  for (const char* example : {"one_layer", "adult_head"}) {
    SCOPED_TRACE(example);
    TempWorkDir dir;
    fs::copy_file(kExamples / example / "input.dat", dir.path() / "input.dat");
    const ModelFile before = ReadModelFile(dir.path() / "input.dat");
    ModelDialog dialog(dir.path() / "input.dat");
    EXPECT_EQ(dialog.LayerTable->rowCount(), static_cast<int>(before.medium.layers.size()));
    EXPECT_TRUE(dialog.FileNote->isHidden());
    ASSERT_TRUE(dialog.Save());
    ExpectSameModel(ReadModelFile(dir.path() / "input.dat"), before);
    // Every line: a value the reading rules take, a blank, and a comment that names it.
    std::istringstream lines(dir.Read("input.dat"));
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
      const std::size_t blank = line.find(' ');
      ASSERT_NE(blank, std::string::npos) << line;
      long double value = 0;
      EXPECT_TRUE(ParseRealToken(line.substr(0, blank), value)) << line;
      EXPECT_NE(line.find_first_not_of(' ', blank), std::string::npos) << "no comment: " << line;
    }
    EXPECT_EQ(count, 2 + 4 * static_cast<int>(before.medium.layers.size()));
  }
}

TEST(ModelDialog, SavingKeepsTheFilesCommentsNamesAnAddedLayerAndDropsARemovedOne) {
  TempWorkDir dir;
  fs::copy_file(kExamples / "adult_head" / "input.dat", dir.path() / "input.dat");
  const std::string original = dir.Read("input.dat");
  {
    ModelDialog unchanged(dir.path() / "input.dat");
    ASSERT_TRUE(unchanged.Save());
    EXPECT_EQ(dir.Read("input.dat"), original);  // byte for byte
  }
  ModelDialog dialog(dir.path() / "input.dat");
  SetCell(dialog, 3, kMuaColumn, "0.03");  // the brain
  dialog.LayerTable->setCurrentCell(2, 0);  // the cerebrospinal fluid goes
  dialog.RemoveLayerButton->click();
  dialog.LayerTable->setCurrentCell(2, 0);  // a copy of the brain below it
  dialog.AddLayerButton->click();
  ASSERT_TRUE(dialog.Save());
  const std::string saved = dir.Read("input.dat");
  EXPECT_EQ(saved.find("cerebrospinal"), std::string::npos);
  EXPECT_NE(saved.find("0.03   brain: absorption coefficient mua, 1/mm\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("0.03   layer 4: mua (absorption) [1/mm]\n"), std::string::npos) << saved;
  for (const char* kept : {"scalp: thickness, mm", "skull: refractive index", "source-detector distance rho"}) {
    EXPECT_NE(saved.find(kept), std::string::npos) << kept;
  }
  const ModelFile model = ReadModelFile(dir.path() / "input.dat");
  ASSERT_EQ(model.medium.layers.size(), 4u);
  EXPECT_EQ(model.medium.layers[2].mua, 0.03L);
  EXPECT_EQ(model.medium.layers[3].musp, 1.2L);
  EXPECT_EQ(model.rho_mm, 30);
}

TEST(ModelDialog, ValuesShowInATextThatReadsBackExactly) {
  // Whatever a file can hold: extended values that no double equals, long and far exponents.
  for (const char* written : {"1.9", "0.1", "-0.01", "1e-300", "6.02214076e23", "0.12345678901234567890123", "$10"}) {
    long double value = 0;
    std::int32_t count = 0;
    if (!ParseRealToken(written, value)) {
      ASSERT_TRUE(ParseIntegerToken(written, count)) << written;
      value = count;
    }
    long double back = 0;
    ASSERT_TRUE(ParseRealToken(ModelValueText(value), back)) << ModelValueText(value);
    EXPECT_EQ(back, value) << written << " shown as " << ModelValueText(value);
  }
  long double value = 0;
  ASSERT_TRUE(ParseRealToken("1.9", value));
  EXPECT_EQ(ModelValueText(value), "1.9");  // the shortest, as written
}

TEST(ModelDialog, ProblemsAreMarkedAtTheirCellsAndKeepSaveOff) {
  TempWorkDir dir;
  dir.Write("input.dat", "2\n1\n0.01\n1.4\n5\n2\n0.03\n1.4\n15\n20\n");
  ModelDialog dialog(dir.path() / "input.dat");
  ASSERT_TRUE(dialog.SaveButton->isEnabled());

  SetCell(dialog, 1, kMuaColumn, "-0.01");
  SetCell(dialog, 0, kThicknessColumn, "0");
  SetCell(dialog, 1, kIndexColumn, "1,4");
  dialog.RhoEdit->setText(QStringLiteral("0"));
  EXPECT_TRUE(Marked(dialog, 1, kMuaColumn));
  EXPECT_TRUE(Marked(dialog, 0, kThicknessColumn));
  EXPECT_TRUE(Marked(dialog, 1, kIndexColumn));
  EXPECT_FALSE(Marked(dialog, 0, kMuspColumn));
  EXPECT_FALSE(dialog.RhoEdit->toolTip().isEmpty());
  EXPECT_TRUE(dialog.ProblemLabel->text().contains(QStringLiteral("mua of layer 2 is -0.01")));
  EXPECT_TRUE(dialog.ProblemLabel->text().contains(QStringLiteral("\"1,4\" is not a number")));
  EXPECT_FALSE(dialog.SaveButton->isEnabled());
  EXPECT_FALSE(dialog.Save());
  EXPECT_EQ(dir.Read("input.dat"), "2\n1\n0.01\n1.4\n5\n2\n0.03\n1.4\n15\n20\n");

  // One layer left is a half-space: its thickness of 0 is no problem.
  dialog.LayerTable->setCurrentCell(1, 0);
  dialog.RemoveLayerButton->click();
  dialog.RhoEdit->setText(QStringLiteral("20"));
  EXPECT_EQ(dialog.LayerTable->rowCount(), 1);
  EXPECT_FALSE(Marked(dialog, 0, kThicknessColumn));
  EXPECT_TRUE(dialog.SaveButton->isEnabled()) << dialog.ProblemLabel->text().toStdString();

  // A new layer copies the current one below it; the count follows the rows.
  dialog.AddLayerButton->click();
  SetCell(dialog, 1, kThicknessColumn, "15");
  SetCell(dialog, 0, kThicknessColumn, "5");
  ASSERT_TRUE(dialog.Save());
  const ModelFile saved = ReadModelFile(dir.path() / "input.dat");
  ASSERT_EQ(saved.layer_count, 2);
  EXPECT_EQ(saved.medium.layers[1].musp, 1);
  EXPECT_EQ(saved.medium.layers[1].d, 15);
  EXPECT_EQ(saved.rho_mm, 20);
}

// The dialog judges a cell by the reader's own rules: Save is on exactly when the file it would
// write is one a run reads and the library accepts.
TEST(ModelDialog, SaveIsOnlyForValuesTheReaderTakes) {
  TempWorkDir dir;
  const std::string seventy = "0.0" + std::string(67, '1');
  for (const std::string& mua : {seventy, "0.0" + std::string(61, '1'), std::string("1e5000"), std::string("1e-5000"),
                                 std::string("0.01"), std::string("1,4"), std::string(" 0.02 "), std::string("-0")}) {
    SCOPED_TRACE(mua);
    dir.Write("input.dat", "1\n1\n0.01\n1.4\n10\n20\n");
    ModelDialog dialog(dir.path() / "input.dat");
    SetCell(dialog, 0, kMuaColumn, mua.c_str());
    dir.Write("probe.dat", "1\n1\n" + mua + "\n1.4\n10\n20\n");
    bool reads = true;
    try {
      reads = !ValidateModelFile(ReadModelFile(dir.path() / "probe.dat"), true);
    } catch (const InputFileError&) {
      reads = false;
    }
    EXPECT_EQ(dialog.SaveButton->isEnabled(), reads) << dialog.ProblemLabel->text().toStdString();
    EXPECT_EQ(Marked(dialog, 0, kMuaColumn), !reads);
    if (reads) {
      ASSERT_TRUE(dialog.Save());
      EXPECT_NO_THROW(ReadModelFile(dir.path() / "input.dat"));
    }
    if (mua == seventy) {
      EXPECT_TRUE(dialog.ProblemLabel->text().contains(QStringLiteral("has 70 characters; a run reads numbers of at most 64")));
    }
  }
}

TEST(ModelDialog, AnUnreadableFileIsShownWithItsErrorAndReplacedOnlyWhenAskedTo) {
  TempWorkDir dir;
  const std::string unreadable = "1\n1\n0.01\n1,4\n10\n20\n";
  dir.Write("input.dat", unreadable);
  ModelDialog dialog(dir.path() / "input.dat");
  EXPECT_TRUE(dialog.FileNote->text().contains(QStringLiteral(":4: \"1,4\" is not a number")));
  EXPECT_FALSE(dialog.ReplaceUnreadable->isHidden());
  dialog.AddLayerButton->click();
  dialog.RhoEdit->setText(QStringLiteral("20"));
  EXPECT_FALSE(dialog.SaveButton->isEnabled());
  EXPECT_FALSE(dialog.Save());
  EXPECT_EQ(dir.Read("input.dat"), unreadable);

  dialog.ReplaceUnreadable->setChecked(true);
  ASSERT_TRUE(dialog.Save());
  EXPECT_EQ(ReadModelFile(dir.path() / "input.dat").medium.layers.at(0).n, 1.4L);
}

TEST(ModelDialog, AFailedSaveLeavesWhatWasThereAndSaysSo) {
  TempWorkDir dir;
  fs::create_directory(dir.path() / "input.dat");  // cannot be read, nor replaced by a file
  dir.Write("input.dat/keep", "x");
  ModelDialog dialog(dir.path() / "input.dat");
  dialog.AddLayerButton->click();
  dialog.RhoEdit->setText(QStringLiteral("20"));
  dialog.ReplaceUnreadable->setChecked(true);
  EXPECT_FALSE(dialog.Save());
  EXPECT_TRUE(dialog.ProblemLabel->text().contains(QStringLiteral("was not changed")));
  EXPECT_NE(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dir.Read("input.dat/keep"), "x");
}

TEST(ModelDialog, AMissingFileIsCreated) {
  TempWorkDir dir;
  ModelDialog absent(dir.path() / "input.dat");
  EXPECT_TRUE(absent.FileNote->text().contains(QStringLiteral("Save creates it")));
  absent.AddLayerButton->click();
  absent.RhoEdit->setText(QStringLiteral("20"));
  ASSERT_TRUE(absent.Save());
  EXPECT_EQ(ReadModelFile(dir.path() / "input.dat").medium.layers.size(), 1u);
}

}  // namespace
}  // namespace nlayer::ui
