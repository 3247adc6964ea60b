// quillmark marker prints at the catalogue width: the PDF page and the
// marker's black square measured on the page as a printer rasterises it
// (pdfinfo, pdftoppm), and the PNG's stored resolution read back.
#include <gtest/gtest.h>
#include <cstdint>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include "command_run.h"
#include "render.h"
#include "paths.h"

namespace {

constexpr double kWidthMm = 62.5;

class MarkerPrint : public testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir.file("Data"));
        ASSERT_EQ(writePatternImageFile(dir.file("Data/000.patt").c_str(), makeRandomPattern(3)), 0);
        writeFile(dir.file("Data/pattern_list.txt"), "[Pattern]\tThree\tData/000.patt\t62.5\tuse\n");
    }
    CommandRun run(const std::string& arguments) const { return runQuillmark(quillmarkExe(), arguments, dir); }
    std::string shell(const std::string& command) const {
        EXPECT_EQ(std::system((command + " >" + dir.file("shell.txt") + " 2>&1").c_str()), 0) << command;
        return readFile(dir.file("shell.txt"));
    }
    TempDir dir;
};

// Width in pixels of the largest dark connected region: the black square,
// whose border joins everything dark inside it.
int blackSquareWidthPx(const cv::Mat& grey) {
    cv::Mat dark, labels, stats, centroids;
    cv::threshold(grey, dark, 128, 255, cv::THRESH_BINARY_INV);
    const int n = cv::connectedComponentsWithStats(dark, labels, stats, centroids);
    int best = 0;
    for (int i = 1; i < n; ++i)
        if (best == 0 || stats.at<int>(i, cv::CC_STAT_AREA) > stats.at<int>(best, cv::CC_STAT_AREA)) best = i;
    return best ? stats.at<int>(best, cv::CC_STAT_WIDTH) : 0;
}

uint32_t bigEndian32(const std::string& bytes, size_t at) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
    return v;
}

} // namespace

TEST_F(MarkerPrint, PdfPagesCarryTheSquareAtTheCatalogueWidth) {
    const struct {
        const char* page;
        const char* size;
    } pages[] = {{"", "595 x 842 pts (A4)"}, {" --page a4", "595 x 842 pts (A4)"}, {" --page letter", "612 x 792 pts (letter)"}};
    for (const auto& p : pages) {
        const std::string pdf = dir.file("m.pdf");
        const CommandRun r = run(std::string("marker 0 --pdf ") + pdf + p.page);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("its black square 62.5 mm wide when printed at 100 %"), std::string::npos) << r.out;
        EXPECT_NE(shell("pdfinfo " + pdf).find(p.size), std::string::npos) << p.page;
        // Rasterised as a printer at 200 dpi would.
        shell("pdftoppm -r 200 -gray -png -singlefile " + pdf + " " + dir.file("page"));
        const cv::Mat page = cv::imread(dir.file("page.png"), cv::IMREAD_GRAYSCALE);
        ASSERT_FALSE(page.empty());
        EXPECT_NEAR(blackSquareWidthPx(page) * 25.4 / 200, kWidthMm, 0.2) << p.page;
    }
}

TEST_F(MarkerPrint, ImagesStoreTheResolutionThatPrintsThemAtTheCatalogueWidth) {
    for (const int dpi : {300, 150}) {
        const std::string png = dir.file("m.png");
        const CommandRun r = run(dpi == 300 ? "marker 0 " + png : "marker 0 " + png + " --dpi 150");
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string bytes = readFile(png);
        const size_t phys = bytes.find("pHYs");
        ASSERT_NE(phys, std::string::npos) << "the resolution is stored";
        const uint32_t perMetre = bigEndian32(bytes, phys + 4);
        EXPECT_EQ(perMetre, bigEndian32(bytes, phys + 8));
        EXPECT_EQ(bytes[phys + 12], 1) << "unit: the metre";
        EXPECT_NEAR(perMetre * 0.0254, dpi, 0.05);
        const cv::Mat image = cv::imread(png, cv::IMREAD_GRAYSCALE);
        EXPECT_NEAR(blackSquareWidthPx(image) * 1000.0 / perMetre, kWidthMm, 0.2) << dpi;
        EXPECT_NEAR(image.cols, 1.5 * blackSquareWidthPx(image), 2.0) << "a quarter of white all round";
    }
}

TEST_F(MarkerPrint, UnprintableRequestsAreRefusedAndWriteNothing) {
    writeFile(dir.file("Data/pattern_list.txt"), "[Pattern]\tHuge\tData/000.patt\t250\tuse\n");
    const struct {
        std::string args, message;
    } refusals[] = {
        {"0 --pdf " + dir.file("a.pdf") + " --page a3", "--page is a4 or letter, not a3"},
        {"0 " + dir.file("a.png") + " --dpi 10", "--dpi needs a whole number from 50 to 4800, not \"10\""},
        {"0 " + dir.file("a.png") + " --page letter", "--page requires --pdf"},
        {"0 --pdf " + dir.file("a.pdf"), "a marker 250 mm wide with its white border does not fit on one A4 page"},
        {"0 " + dir.file("a.unknown"), "cannot write " + dir.file("a.unknown")},
    };
    for (const auto& refusal : refusals) {
        const CommandRun r = run("marker " + refusal.args);
        EXPECT_NE(r.status, 0) << refusal.args;
        EXPECT_NE(r.err.find(refusal.message), std::string::npos) << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("a.pdf")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("a.png")));
}

TEST(ShippedMarkerPages, DemoMarkerPagesPrintTheSquareEightyMillimetresWide) {
    TempDir dir;
    for (const char* name : {"Flag", "Fork", "Kite", "Hook"}) {
        const std::string pdf = sourceDir() + "/docs/markers/" + name + ".pdf";
        const std::string command = "pdftoppm -r 150 -gray -png -singlefile " + pdf + " " + dir.file("page");
        ASSERT_EQ(std::system(command.c_str()), 0) << pdf;
        const cv::Mat page = cv::imread(dir.file("page.png"), cv::IMREAD_GRAYSCALE);
        ASSERT_EQ(page.cols, 1240) << "A4 at 150 dpi";
        EXPECT_NEAR(blackSquareWidthPx(page) * 25.4 / 150, 80.0, 0.3) << name;
    }
}

TEST_F(MarkerPrint, TheCalibrationBoardPrintsWithSquaresOfTheGivenSide) {
    const std::string pdf = dir.file("board.pdf");
    CommandRun r = run("calibrate --board 9x6 --square 22.5 --pdf " + pdf);
    ASSERT_EQ(r.status, 0) << r.err;
    shell("pdftoppm -r 100 -gray -png -singlefile " + pdf + " " + dir.file("board"));
    const cv::Mat page = cv::imread(dir.file("board.png"), cv::IMREAD_GRAYSCALE);
    std::vector<cv::Point2f> corners;
    ASSERT_TRUE(cv::findChessboardCorners(page, cv::Size(9, 6), corners)) << "turned to fit the page";
    const double spanPx = cv::norm(corners.front() - corners[8]);
    EXPECT_NEAR(spanPx / 8 * 25.4 / 100, 22.5, 0.1) << "the side of a square, in millimetres";

    r = run("calibrate --board 9x6 --square 30 --pdf " + pdf + " --page letter");
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("a 9x6 board of 30 mm squares does not fit on one letter page"), std::string::npos) << r.err;
}
