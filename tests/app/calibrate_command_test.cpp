// quillmark calibrate through the real executable: from image files, from a
// live source, from OpenCV calibration files, and its refusals, none of
// which touches the camera file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <filesystem>
#include <thread>
#include <opencv2/imgcodecs.hpp>
#include "chessboard_views.h"
#include "command_run.h"
#include "paths.h"

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class CalibrateCommand : public testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(dir.file("Data"));
        old = makeCameraParam(320, 240, 300, 0);
        ASSERT_EQ(saveCameraParam(dir.file("Data/camera_para.dat").c_str(), 1, &old), 0);
        oldBytes = readFile(dir.file("Data/camera_para.dat"));
    }
    CommandRun run(const std::string& arguments) const { return runQuillmark(quillmarkExe(), arguments, dir); }

    // Writes `count` rendered views into views/ and returns their paths.
    std::string writeViews(int count) const {
        std::filesystem::create_directories(dir.file("views"));
        std::string paths;
        const std::vector<cv::Mat> frames = renderChessboardViews(calibrationTruth(), 9, 6, 25.0, count, RenderSettings{});
        for (size_t i = 0; i < frames.size(); ++i) {
            const std::string path = dir.file("views/view" + std::to_string(10 + i) + ".png");
            EXPECT_TRUE(cv::imwrite(path, frames[i]));
            paths += " " + path;
        }
        return paths;
    }
    bool cameraFileUnchanged() const {
        return readFile(dir.file("Data/camera_para.dat")) == oldBytes &&
               !std::filesystem::exists(dir.file("Data/camera_para.dat.bak"));
    }
    void expectTrueCameraWritten() const {
        CameraParam written;
        ASSERT_EQ(loadCameraParam(dir.file("Data/camera_para.dat").c_str(), 1, &written), 0);
        EXPECT_EQ(written.xsize, 640);
        EXPECT_NEAR(written.projection[0][0], 600, 12);
        EXPECT_NEAR(written.distortion[2], 40, 8);
        EXPECT_EQ(readFile(dir.file("Data/camera_para.dat.bak")), oldBytes) << "the previous file kept";
    }

    TempDir dir;
    CameraParam old;
    std::string oldBytes;
};

} // namespace

TEST_F(CalibrateCommand, ImagesGiveTheRecordAndUnreadableOnesAreSkipped) {
    const std::string views = writeViews(7);
    writeFile(dir.file("broken.png"), "not an image");
    ASSERT_TRUE(cv::imwrite(dir.file("blank.png"), cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(200))));
    const CommandRun r = run("calibrate --board 9x6 --square 25" + views + " " + dir.file("broken.png") + " " +
                             dir.file("blank.png"));
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_TRUE(contains(r.err, "cannot read the image " + dir.file("broken.png") + "; skipped")) << r.err;
    EXPECT_TRUE(contains(r.out, dir.file("blank.png") + ": board not found")) << r.out;
    EXPECT_TRUE(contains(r.out, "7 views used, reprojection RMS 0.")) << r.out;
    EXPECT_FALSE(contains(r.out, "RMS is above 1 px")) << r.out;
    EXPECT_TRUE(contains(r.out, "Data/camera_para.dat written for 640x480 images; the previous file is kept"));
    expectTrueCameraWritten();
}

TEST_F(CalibrateCommand, LiveSourceKeepsDistinctViewsAndReportsProgress) {
    writeViews(7);
    const CommandRun r = run("calibrate --board 9x6 --square 25 --frames 5 --camera file:" + dir.file("views"));
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_TRUE(contains(r.out, "view 1 of 5 kept, the views cover ")) << r.out;
    EXPECT_TRUE(contains(r.out, "view 5 of 5 kept")) << r.out;
    EXPECT_TRUE(contains(r.out, "5 views used")) << r.out;
    expectTrueCameraWritten();
}

TEST_F(CalibrateCommand, CtrlCCalibratesWithTheViewsKeptSoFar) {
    writeViews(7);
    const char* exe = quillmarkExe().c_str();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (!freopen(dir.file("live.txt").c_str(), "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(127);
        const std::string source = "file:" + dir.file("views");
        execl(exe, exe, "calibrate", "-C", dir.path().c_str(), "--board", "9x6", "--square", "25",
              "--frames", "20", "--camera", source.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!contains(readFile(dir.file("live.txt")), "view 4 of 20 kept") && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    const std::string out = readFile(dir.file("live.txt"));
    ASSERT_TRUE(WIFEXITED(status)) << out;
    EXPECT_EQ(WEXITSTATUS(status), 0) << out;
    EXPECT_TRUE(contains(out, "views used, reprojection RMS")) << out;
    expectTrueCameraWritten();
}

TEST_F(CalibrateCommand, ABoardFoundNowhereWritesNothing) {
    ASSERT_TRUE(cv::imwrite(dir.file("blank.png"), cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(200))));
    const std::string three = writeViews(3);
    const std::string views = three.substr(0, three.rfind(' '));
    CommandRun r = run("calibrate --board 9x6 --square 25 " + dir.file("blank.png"));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "the 9x6 board (inner corners) was not found in any view; nothing written")) << r.err;
    r = run("calibrate --board 8x6 --square 25" + views);
    EXPECT_TRUE(contains(r.err, "the 8x6 board (inner corners) was not found in any view")) << "a wrong board size";
    r = run("calibrate --board 9x6 --square 25" + views);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "needs at least 3 views of the board, has 2; nothing written")) << r.err;
    EXPECT_TRUE(cameraFileUnchanged());

    r = run("calibrate --board 9x6 --square 25" + three);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "warning: the views cover less than half the frame")) << r.out;
}

TEST_F(CalibrateCommand, ImportConvertsAnOpenCvFileAndRefusesBrokenOnes) {
    const cv::Matx33d K(612.5, 0, 318.2, 0, 610.1, 243.7, 0, 0, 1);
    {
        cv::FileStorage fs(dir.file("cam.yml"), cv::FileStorage::WRITE);
        fs << "image_width" << 640 << "image_height" << 480 << "camera_matrix" << cv::Mat(K)
           << "distortion_coefficients" << cv::Mat(cv::Matx<double, 5, 1>(-0.12, 0, 0, 0, 0));
        cv::FileStorage bare(dir.file("bare.yml"), cv::FileStorage::WRITE);
        bare << "distortion_coefficients" << cv::Mat(cv::Matx<double, 5, 1>(0, 0, 0, 0, 0));
    }
    const std::string ros = "camera_matrix:\n  rows: 3\n  cols: 3\n  data: [600, 0, 320, 0, 600, 240, 0, 0, 1]\n"
                            "distortion_coefficients:\n  rows: 1\n  cols: 4\n  data: [-0.01, 0.002, 0, 0]\n";
    writeFile(dir.file("negative.yaml"), "image_width: -640\nimage_height: -480\ndistortion_model: plumb_bob\n" + ros);
    writeFile(dir.file("fisheye.yaml"), "image_width: 640\nimage_height: 480\ndistortion_model: equidistant\n" + ros);
    const struct {
        std::string args, message;
    } refusals[] = {
        {"--import " + dir.file("cam.yml") + " --size 1280x720",
         dir.file("cam.yml") + " is for 640x480 images, not 1280x720 as --size says; nothing written"},
        {"--import " + dir.file("bare.yml"), dir.file("bare.yml") + " has no camera_matrix; nothing written"},
        {"--import " + dir.file("none.yml"), "cannot read " + dir.file("none.yml") + ": there is no such file"},
        {"--import " + dir.file("negative.yaml"),
         dir.file("negative.yaml") + ": image_width and image_height are not a positive image size"},
        {"--import " + dir.file("fisheye.yaml"), dir.file("fisheye.yaml") + ": distortion_model equidistant is a fisheye"},
        {"--board 9 --square 25 a.png", "--board needs the inner corners as COLSxROWS, each at least 2 (such as 9x6), not 9"},
        {"--board 9x6 --square -1 a.png", "--square needs the side of a square in millimetres, not -1"},
        {"--board 9x6 --square 25", "no images and no --camera given"},
        {"--import " + dir.file("cam.yml") + " --board 9x6", "--import takes no board, camera, images or --pdf"},
    };
    for (const auto& refusal : refusals) {
        const CommandRun r = run("calibrate " + refusal.args);
        EXPECT_NE(r.status, 0) << refusal.args;
        EXPECT_TRUE(contains(r.err, refusal.message)) << r.err;
    }
    EXPECT_TRUE(cameraFileUnchanged());

    const CommandRun r = run("calibrate --import " + dir.file("cam.yml"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, dir.file("cam.yml") + " converted: residual over the frame 0.0")) << r.out;
    CameraParam written;
    ASSERT_EQ(loadCameraParam(dir.file("Data/camera_para.dat").c_str(), 1, &written), 0);
    EXPECT_EQ(written.ysize, 480);
    EXPECT_NEAR(written.projection[0][0], 612.5, 1.0);
    EXPECT_EQ(readFile(dir.file("Data/camera_para.dat.bak")), oldBytes);
    // A second import keeps the first one's file too: nothing is ever lost.
    const std::string firstImport = readFile(dir.file("Data/camera_para.dat"));
    const CommandRun again = run("calibrate --import " + dir.file("cam.yml"));
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(contains(again.out, "; the previous file is kept as Data/camera_para.dat.bak.1")) << again.out;
    EXPECT_EQ(readFile(dir.file("Data/camera_para.dat.bak")), oldBytes);
    EXPECT_EQ(readFile(dir.file("Data/camera_para.dat.bak.1")), firstImport);
}
