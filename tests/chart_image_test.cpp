// This test binary has no application object, as the headless command has none: the export
// makes its own, on the offscreen platform, for every picture.
#include "plot/chart_image.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QImage>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/chart_sink.h"
#include "tests/test_support.h"

namespace nlayer::ui {
namespace {

using testing::TempWorkDir;

const std::filesystem::path kOutputDir = NLAYER_TEST_OUTPUT_DIR;

// A smooth curve over the span of a run: log10 of t^-1.5 exp(-200/t), shifted near 1e-8.
MemoryChart ChartWithCurves(int curves) {
  MemoryChart chart;
  for (int series = 0; series < curves; ++series) {
    for (int t = 10; t <= 5120; t += 10) {
      const double value = std::pow(t, -1.5) * std::exp(-200.0 * (series + 1) / t);
      chart.AppendPoint(series, t, std::log10(value) - 4.5);
    }
  }
  return chart;
}

int PixelsOfColour(const QImage& image, QRgb colour) {
  int count = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) count += (image.pixel(x, y) & 0xffffffu) == (colour & 0xffffffu);
  }
  return count;
}

TEST(WriteChartImage, PngShowsTheCurvesInTheirSeriesColours) {
  const std::filesystem::path path = kOutputDir / "chart_image_two_series.png";
  std::filesystem::remove(path);
  WriteChartImage(ChartWithCurves(2), path);
  EXPECT_EQ(QCoreApplication::instance(), nullptr);  // the export's own application has ended
  QImage image;
  ASSERT_TRUE(image.load(QString::fromStdString(path.string()), "PNG"));
  EXPECT_EQ(image.size(), QSize(497, 305));
  // Hundreds of pixels each: a line across the chart, not a stray pixel of anti-aliasing.
  EXPECT_GT(PixelsOfColour(image, qRgb(255, 0, 0)), 200);
  EXPECT_GT(PixelsOfColour(image, qRgb(0, 128, 0)), 200);
  EXPECT_EQ(PixelsOfColour(image, qRgb(0, 0, 255)), 0);  // Series4 is empty
}

TEST(WriteChartImage, SuffixIsReadInAnyLetterCase) {
  TempWorkDir dir;
  WriteChartImage(ChartWithCurves(1), "chart.PNG");
  QImage image;
  ASSERT_TRUE(image.load("chart.PNG", "PNG"));
  EXPECT_GT(PixelsOfColour(image, qRgb(255, 0, 0)), 200);
}

TEST(WriteChartImage, SvgIsAnSvgDocumentWithTheCurveColour) {
  const std::filesystem::path path = kOutputDir / "chart_image_one_series.svg";
  std::filesystem::remove(path);
  WriteChartImage(ChartWithCurves(1), path);
  const std::string svg = [&] {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }();
  EXPECT_NE(svg.find("<svg"), std::string::npos);
  EXPECT_NE(svg.find("</svg>"), std::string::npos);
  EXPECT_NE(svg.find("#ff0000"), std::string::npos);
  EXPECT_NE(svg.find("t[ps]"), std::string::npos);
  EXPECT_NE(svg.find("viewBox=\"0 0 497 305\""), std::string::npos);
}

TEST(WriteChartImage, EmptyChartIsDrawnWithItsAxes) {
  TempWorkDir dir;
  WriteChartImage(MemoryChart(), "empty.png");
  QImage image;
  ASSERT_TRUE(image.load("empty.png", "PNG"));
  EXPECT_EQ(PixelsOfColour(image, qRgb(255, 0, 0)), 0);
  // Black only in the axes' titles and labels.
  int dark = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) dark += qGray(image.pixel(x, y)) < 64;
  }
  EXPECT_GT(dark, 300);
}

TEST(WriteChartImage, UnknownSuffixFailsAndWritesNothing) {
  TempWorkDir dir;
  for (const char* name : {"chart.jpg", "chart", "chart.png.txt"}) {
    try {
      WriteChartImage(ChartWithCurves(1), name);
      ADD_FAILURE() << "no error for " << name;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("use .png or .svg"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(std::filesystem::exists(name));
  }
}

TEST(WriteChartImage, UnwritablePlaceFailsNamingTheFile) {
  TempWorkDir dir;
  try {
    WriteChartImage(ChartWithCurves(1), "no/such/directory/chart.png");
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("no/such/directory/chart.png"), std::string::npos) << e.what();
  }
}

// Every curve in a colour of its own that shows on white, the fifth and sixth too (the
// window's yellow and white would not), with a legend; nine curves are refused.
TEST(WriteCurvesImage, DrawsEachCurveInAColourOfItsOwn) {
  TempWorkDir dir;
  const MemoryChart chart = ChartWithCurves(6);
  std::vector<NamedCurve> curves;
  for (int i = 0; i < 6; ++i) curves.push_back({"curve " + std::to_string(i + 1), chart.Series(i)});
  WriteCurvesImage(curves, "curves.png");
  QImage image;
  ASSERT_TRUE(image.load("curves.png", "PNG"));
  EXPECT_EQ(image.size(), QSize(kCurvesImageWidth, kCurvesImageHeight));
  for (QRgb colour : {qRgb(255, 0, 0), qRgb(0, 128, 0), qRgb(255, 0, 255), qRgb(0, 0, 255), qRgb(0, 128, 128)}) {
    EXPECT_GT(PixelsOfColour(image, colour), 200) << std::hex << colour;
  }
  EXPECT_EQ(PixelsOfColour(image, qRgb(255, 255, 0)), 0);
  WriteCurvesImage(curves, "curves.svg");
  EXPECT_NE(dir.Read("curves.svg").find("curve 6"), std::string::npos);
  EXPECT_THROW(WriteCurvesImage(std::vector<NamedCurve>(9), "nine.png"), std::invalid_argument);
  EXPECT_FALSE(std::filesystem::exists("nine.png"));
}

}  // namespace
}  // namespace nlayer::ui
