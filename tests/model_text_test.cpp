#include "io/model_text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "io/model_file.h"
#include "tests/test_support.h"

namespace nlayer {
namespace {

using testing::TempWorkDir;

std::string AdultHead() {
  std::ifstream in(std::filesystem::path(NLAYER_EXAMPLES_DIR) / "adult_head" / "input.dat", std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The head's layers as the file gives them, the edit's starting point.
EditedModel HeadAsWritten() {
  EditedModel model;
  const std::vector<std::string> lines = Lines(AdultHead());
  for (std::size_t k = 0; k < 4; ++k) {
    EditedLayer& layer = model.layers.emplace_back();
    layer.source = k;
    for (std::size_t c = 0; c < 4; ++c) {
      const std::string& line = lines[1 + 4 * k + c];
      layer.values[c] = line.substr(0, line.find(' '));
    }
  }
  model.rho = "30";
  return model;
}

ModelFile ReadBack(const std::string& text) {
  TempWorkDir dir;
  dir.Write("input.dat", text);
  return ReadModelFile(dir.path() / "input.dat");
}

TEST(RewriteModelText, KeepsEveryCommentChangesValuesInPlaceNamesNewLayersAndDropsRemovedOnes) {
  const std::string original = AdultHead();
  const std::vector<std::string> before = Lines(original);
  EXPECT_EQ(RewriteModelText(original, HeadAsWritten()), original);  // nothing changed: byte for byte

  // The brain's mua 0.02 -> 0.035, and a fifth layer below it.
  EditedModel edit = HeadAsWritten();
  edit.layers[3].values[1] = "0.035";
  edit.layers.push_back(EditedLayer{std::nullopt, {"1", "0.01", "1.4", "20"}});
  const std::string grown = RewriteModelText(original, edit);
  const std::vector<std::string> after = Lines(grown);
  ASSERT_EQ(after.size(), before.size() + 4);
  EXPECT_EQ(after[0], "5      number of layers: adult head near 800 nm, from the surface inwards");
  for (std::size_t i = 1; i < before.size() - 1; ++i) {
    if (i == 14) continue;
    EXPECT_EQ(after[i], before[i]) << i;
  }
  EXPECT_EQ(after[14], "0.035  brain: absorption coefficient mua, 1/mm");  // the comment in its column
  EXPECT_EQ(after[17], "1      layer 5: mus' (reduced scattering) [1/mm]");
  EXPECT_EQ(after[18], "0.01   layer 5: mua (absorption) [1/mm]");
  EXPECT_EQ(after[20], "20     layer 5: d (thickness) [mm]");
  EXPECT_EQ(after[21], before[17]);  // rho with its comment
  const ModelFile grown_model = ReadBack(grown);
  ASSERT_EQ(grown_model.medium.layers.size(), 5u);
  EXPECT_EQ(grown_model.medium.layers[3].mua, 0.035L);
  EXPECT_EQ(grown_model.medium.layers[4].d, 20);
  EXPECT_EQ(grown_model.rho_mm, 30);

  // Without the cerebrospinal fluid: its four lines go, the brain moves up with its comments.
  edit = HeadAsWritten();
  edit.layers.erase(edit.layers.begin() + 2);
  const std::string shrunk = RewriteModelText(original, edit);
  EXPECT_EQ(shrunk.find("cerebrospinal"), std::string::npos);
  const std::vector<std::string> fewer = Lines(shrunk);
  ASSERT_EQ(fewer.size(), before.size() - 4);
  EXPECT_EQ(fewer[0].substr(0, 2), "3 ");
  for (std::size_t i = 9; i < fewer.size(); ++i) EXPECT_EQ(fewer[i], before[i + 4]) << i;
  const ModelFile shrunk_model = ReadBack(shrunk);
  ASSERT_EQ(shrunk_model.medium.layers.size(), 3u);
  EXPECT_EQ(shrunk_model.medium.layers[2].musp, 1.2L);
}

TEST(RewriteModelText, KeepsLineEndsBlankLinesAndTheTextAfterRhoAndCompletesAFileThatEndsEarly) {
  // CR LF, a blank line inside, a comment after a tab, text after rho, and a longer value
  // than the blanks before the comment leave room for.
  const std::string original = "\r\n1  slab\r\n1\tmus'\r\n\r\n0.01 mua\r\n1.4\r\n10 d\r\n20 rho\r\nnotes\r\n";
  EditedModel edit{{EditedLayer{0, {"1", "0.012345", "1.4", "10"}}}, "25"};
  EXPECT_EQ(RewriteModelText(original, edit),
            "\r\n1  slab\r\n1\tmus'\r\n\r\n0.012345 mua\r\n1.4\r\n10 d\r\n25 rho\r\nnotes\r\n");

  // A file that ends before its last values (and without a line end): they get lines of their own.
  const std::string early = "1   layers\n1   mus'\n0.01";
  edit = EditedModel{{EditedLayer{0, {"1", "0.01", "1.4", "10"}}}, "20"};
  const std::string completed = RewriteModelText(early, edit);
  EXPECT_EQ(completed, "1   layers\n1   mus'\n0.01\n1.4 layer 1: n (refractive index)\n"
                       "10  layer 1: d (thickness) [mm]\n20  rho (source-detector distance) [mm]\n");

  // No count to keep: a file written afresh, which reads back to the values.
  EXPECT_EQ(RewriteModelText("", edit), FreshModelText(edit));
  const ModelFile fresh = ReadBack(FreshModelText(edit));
  ASSERT_EQ(fresh.medium.layers.size(), 1u);
  EXPECT_EQ(fresh.medium.layers[0].n, 1.4L);
  EXPECT_EQ(fresh.rho_mm, 20);
}

}  // namespace
}  // namespace nlayer
