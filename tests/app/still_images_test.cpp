// The project's own still images through its own commands: a marker that
// quillmark marker draws is found by detect and registered by pattern, the
// reasons when a still image holds no pattern, and the camera warning for
// an image of another aspect ratio.
#include <gtest/gtest.h>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include "camera_param.h"
#include "command_run.h"
#include "paths.h"

namespace {

const std::string kShippedData = sourceDir() + "/Data";

class StillImages : public testing::Test {
protected:
    // The shipped catalogue (Flag, Fork, Kite, Hook, 80 mm) and camera.
    void SetUp() override {
        std::filesystem::copy(kShippedData, dir.file("Data"), std::filesystem::copy_options::recursive);
        std::filesystem::remove(dir.file("Data/config.txt"));
    }
    CommandRun run(const std::string& arguments) const { return runQuillmark(quillmarkExe(), arguments, dir); }
    std::string image(const std::string& name, const cv::Mat& picture) const {
        EXPECT_TRUE(cv::imwrite(dir.file(name), picture));
        return dir.file(name);
    }

    TempDir dir;
};

// "Num= 1" and one line of the fields asked for, split at the commas.
std::vector<std::string> onlyMarker(const std::string& report) {
    std::istringstream lines(report);
    std::string header, line, field;
    std::getline(lines, header);
    std::getline(lines, line);
    EXPECT_EQ(header, "Num= 1") << report;
    std::vector<std::string> fields;
    std::istringstream split(line);
    while (std::getline(split, field, ',')) fields.push_back(field);
    return fields;
}

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// At 300 dpi and more the marker's dark border passes the area limit; the
// Kite at 300 dpi once left only a cell of its pattern to register.
TEST_F(StillImages, PrintedMarkerImagesAreFoundAndRegistered) {
    CameraParam stored;
    ASSERT_EQ(loadCameraParam(dir.file("Data/camera_para.dat").c_str(), 1, &stored), 0);
    const struct {
        int number;
        const char* name;
        int dpi;
    } cases[] = {{0, "Flag", 300}, {2, "Kite", 300}, {1, "Fork", 600}, {3, "Hook", 150}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + std::string(" at ") + std::to_string(c.dpi) + " dpi");
        const std::string out = dir.file(std::string(c.name) + ".png");
        ASSERT_EQ(run("marker " + std::to_string(c.number) + " " + out + " --dpi " + std::to_string(c.dpi)).status, 0);
        const cv::Mat drawn = cv::imread(out);
        const double squarePx = 80.0 / 25.4 * c.dpi;

        CommandRun r = run("detect --fields name,pos3d,vertex " + out);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(has(r.err, "above the area limit of 100000; looked again on a copy reduced to")) << r.err;
        const std::vector<std::string> fields = onlyMarker(r.out);
        ASSERT_EQ(fields.size(), 12u) << r.out;
        EXPECT_EQ(fields[0], c.name);
        // The corners in the image's own pixels: centred, a square side apart
        // (within what the stored lens's distortion moves them).
        for (int k = 0; k < 4; ++k) {
            const double x = std::stod(fields[4 + 2 * k]), y = std::stod(fields[5 + 2 * k]);
            const double nx = std::stod(fields[4 + 2 * ((k + 1) % 4)]), ny = std::stod(fields[5 + 2 * ((k + 1) % 4)]);
            EXPECT_NEAR(std::fabs(x - (drawn.cols - 1) / 2.0), squarePx / 2, 0.025 * squarePx) << "corner " << k;
            EXPECT_NEAR(std::fabs(y - (drawn.rows - 1) / 2.0), squarePx / 2, 0.025 * squarePx) << "corner " << k;
            EXPECT_NEAR(std::hypot(nx - x, ny - y), squarePx, 0.025 * squarePx) << "side " << k;
        }
        // At the distance at which the camera, scaled to the image, sees
        // 80 mm as the drawn square.
        const double focalPx = stored.projection[0][0] * drawn.cols / stored.xsize;
        EXPECT_NEAR(std::stod(fields[3]), focalPx * 80.0 / squarePx, 0.02 * focalPx * 80.0 / squarePx);

        r = run("pattern --name Again" + std::to_string(c.number) + " " + out);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(has(r.err, "it was found on a copy of the image reduced to")) << r.err;
        // The same pattern as the one drawn, so the two are close.
        EXPECT_TRUE(has(r.err, "the new pattern is close to Data/00" + std::to_string(c.number) + ".patt")) << r.err;
        std::filesystem::remove(dir.file("Data/004.patt"));
        std::filesystem::remove(dir.file("Data/004.jpg"));
        std::filesystem::copy_file(kShippedData + "/pattern_list.txt", dir.file("Data/pattern_list.txt"),
                                   std::filesystem::copy_options::overwrite_existing);
    }
}

TEST_F(StillImages, AStillImageWithoutAPatternGetsTheReasonThatFitsIt) {
    const auto onWhite = [](int side, int square, bool disc) {
        cv::Mat picture(side, side, CV_8UC3, cv::Scalar::all(255));
        if (disc) cv::circle(picture, {side / 2, side / 2}, square / 2, cv::Scalar::all(0), cv::FILLED);
        else cv::rectangle(picture, cv::Rect((side - square) / 2, (side - square) / 2, square, square), cv::Scalar::all(0), cv::FILLED);
        return picture;
    };
    const std::string noPattern = "the square has no pattern inside its border";
    const struct {
        const char* what;
        cv::Mat picture;
        std::string reason;
    } cases[] = {
        {"a black square", onWhite(300, 200, false), noPattern},
        {"a black square above the area limit", onWhite(1400, 1000, false), noPattern},
        {"a black disc above the area limit", onWhite(1400, 1000, true),
         "no square marker found (it needs a black border and a light margin around it)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const CommandRun r = run("pattern " + image("still.png", c.picture));
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(has(r.err, c.reason)) << r.err;
        EXPECT_FALSE(std::filesystem::exists(dir.file("Data/004.patt")));
    }
    // Where the reduced copy holds no marker either, detect names the area
    // limit and the setting that lets the region in.
    const CommandRun r = run("detect " + image("disc.png", onWhite(1400, 1000, true)));
    EXPECT_EQ(r.out.substr(0, 7), "Num= 0\n");
    EXPECT_TRUE(has(r.err, "no marker found (nor on a copy reduced to 32 %), and a dark region of")) << r.err;
    EXPECT_TRUE(has(r.err, "is above the area limit of 100000; if it is a marker seen close up, --max-area")) << r.err;
}

// The shipped camera record is for 640x480.
TEST_F(StillImages, TheCameraWarningSaysWhatIsWrongWithTheImageShape) {
    const struct {
        int width, height;
        const char* warning; // empty: none
    } cases[] = {
        {640, 480, ""},
        {1280, 960, ""},
        {500, 500, "frames are 500x500, of another aspect ratio (width to height 1.00, the record's 1.33)"},
        {1280, 720, "frames are 1280x720, of another aspect ratio (width to height 1.78, the record's 1.33)"},
        {480, 640, "frames are 480x640, turned the other way (width to height 0.75, the record's 1.33)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        const CommandRun r = run("detect " + image("plain.png", cv::Mat(c.height, c.width, CV_8UC3, cv::Scalar::all(255))));
        EXPECT_EQ(r.status, 0) << r.err;
        if (*c.warning) {
            EXPECT_TRUE(has(r.err, c.warning)) << r.err;
        } else {
            EXPECT_FALSE(has(r.err, "warning")) << r.err;
        }
    }
}

} // namespace
