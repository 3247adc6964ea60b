// The camera layer through real sources: image sequences and video files
// written here, played by the file backend.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>
#include "camera.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace {

// A frame whose every pixel depends on its position and on `index`, so a
// shifted row or a wrong frame cannot pass for the right one.
cv::Mat numberedFrame(int width, int height, int index) {
    cv::Mat frame(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            frame.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>(x), static_cast<uchar>(y),
                                                  static_cast<uchar>(40 * index + (x + y) % 7));
        }
    }
    return frame;
}

// Which of `frames` `image` is exactly, or -1.
int whichFrame(const cv::Mat& image, const std::vector<cv::Mat>& frames) {
    for (size_t i = 0; i < frames.size(); ++i) {
        if (image.size() == frames[i].size() && cv::norm(image, frames[i], cv::NORM_INF) == 0) return static_cast<int>(i);
    }
    return -1;
}

CameraChooser choose(const std::string& sourceName) {
    return [sourceName](int) { return sourceName; };
}

std::vector<cv::Mat> writeSequence(const std::string& dir, int width, int height, int count) {
    fs::create_directories(dir);
    std::vector<cv::Mat> frames;
    for (int i = 0; i < count; ++i) {
        frames.push_back(numberedFrame(width, height, i));
        char name[32];
        std::snprintf(name, sizeof name, "/%04d.png", i);
        cv::imwrite(dir + name, frames.back());
    }
    return frames;
}

}  // namespace

// 322 BGR pixels are 966 bytes a row, not a multiple of four.
TEST(FileCamera, OddWidthSequencePlaysPixelExactInOrderAndLoops) {
    TempDir dir;
    const std::vector<cv::Mat> frames = writeSequence(dir.file("frames"), 322, 240, 3);
    for (const std::string& sourceName : {"file:" + dir.file("frames/%04d.png"), "file:" + dir.file("frames")}) {
        SCOPED_TRACE(sourceName);
        CameraState state;
        ASSERT_EQ(OpenCamera(0, state, choose(sourceName)), 0) << state.lastError;
        ASSERT_EQ(state.FrameImage.type(), CV_8UC3);
        ASSERT_EQ(state.FrameImage.size(), cv::Size(322, 240));
        EXPECT_EQ(whichFrame(state.FrameImage, frames), 0);
        std::vector<bool> seen(frames.size(), false);
        int previous = 0;
        // Past the end of the sequence: it must start over, not stop.
        for (int i = 0; i < 7; ++i) {
            ASSERT_EQ(GrabFrame(state), GrabStatus::Ok) << state.lastError;
            const int index = whichFrame(state.FrameImage, frames);
            ASSERT_GE(index, 0) << "grab " << i << " is no frame of the sequence";
            EXPECT_NE(index, previous) << "grab " << i << " repeated a frame";
            seen[index] = true;
            previous = index;
        }
        EXPECT_EQ(seen, std::vector<bool>(frames.size(), true));
        CloseCamera(state);
    }
}

TEST(FileCamera, VideoFileIsPacedAtItsFrameRateAndLoops) {
    TempDir dir;
    const std::string path = dir.file("clip.avi");
    const cv::Scalar colours[3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
    {
        cv::VideoWriter writer(path, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 20.0, cv::Size(160, 120));
        ASSERT_TRUE(writer.isOpened());
        for (const cv::Scalar& c : colours) writer.write(cv::Mat(120, 160, CV_8UC3, c));
    }
    CameraState state;
    ASSERT_EQ(OpenCamera(0, state, choose("file:" + path)), 0) << state.lastError;
    ASSERT_EQ(state.FrameImage.size(), cv::Size(160, 120));
    bool seen[3] = {};
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(GrabFrame(state), GrabStatus::Ok) << state.lastError;
        const cv::Scalar mean = cv::mean(state.FrameImage);
        int nearest = 0;
        for (int c = 1; c < 3; ++c) {
            if (cv::norm(mean - colours[c]) < cv::norm(mean - colours[nearest])) nearest = c;
        }
        EXPECT_LT(cv::norm(mean - colours[nearest]), 40.0);
        seen[nearest] = true;
    }
    // Ten new frames at 20 per second span at least nine periods (450 ms);
    // a source that is not paced delivers them at once.
    const auto elapsedMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin).count();
    EXPECT_GE(elapsedMs, 350);
    EXPECT_TRUE(seen[0] && seen[1] && seen[2]);
    CloseCamera(state);
}

TEST(FileCamera, FramesOfAnotherSizeAreScaledIntoTheSameBuffer) {
    TempDir dir;
    fs::create_directories(dir.file("mixed"));
    cv::imwrite(dir.file("mixed/a.png"), cv::Mat(240, 322, CV_8UC3, cv::Scalar(10, 20, 30)));
    cv::imwrite(dir.file("mixed/b.png"), cv::Mat(120, 161, CV_8UC3, cv::Scalar(200, 100, 50)));
    CameraState state;
    ASSERT_EQ(OpenCamera(0, state, choose("file:" + dir.file("mixed"))), 0) << state.lastError;
    const uchar* buffer = state.FrameImage.data;
    bool sawSecond = false;
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(GrabFrame(state), GrabStatus::Ok) << state.lastError;
        EXPECT_EQ(state.FrameImage.size(), cv::Size(322, 240));
        EXPECT_EQ(state.FrameImage.data, buffer);
        sawSecond |= state.FrameImage.at<cv::Vec3b>(239, 321) == cv::Vec3b(200, 100, 50);
    }
    EXPECT_TRUE(sawSecond);
    CloseCamera(state);
}

TEST(FileCamera, VanishedFilesTimeOutAndReportWithoutTouchingTheFrame) {
    TempDir dir;
    writeSequence(dir.file("frames"), 64, 48, 2);
    CameraState state;
    state.grabTimeoutMs = 300;
    ASSERT_EQ(OpenCamera(0, state, choose("file:" + dir.file("frames"))), 0) << state.lastError;
    fs::remove_all(dir.file("frames"));
    // A frame read just before the removal may still be waiting.
    GrabStatus status = GrabStatus::Ok;
    for (int i = 0; i < 3 && status == GrabStatus::Ok; ++i) status = GrabFrame(state);
    const cv::Mat before = state.FrameImage.clone();
    status = GrabFrame(state);
    EXPECT_EQ(status, GrabStatus::Timeout);
    EXPECT_NE(state.lastError.find("no frame within 300 ms"), std::string::npos) << state.lastError;
    EXPECT_NE(state.lastError.find("cannot read image"), std::string::npos) << state.lastError;
    EXPECT_EQ(cv::norm(before, state.FrameImage, cv::NORM_INF), 0);
    CloseCamera(state);
    EXPECT_TRUE(state.FrameImage.empty());
}

TEST(OpenCamera, FailuresReturnMinusOneAndLeaveNothingOpen) {
    TempDir dir;
    fs::create_directories(dir.file("empty"));
    const struct {
        std::string name;
        std::string message;
    } cases[] = {
        {"", "no camera was chosen"},
        {"bogus:1", "unknown camera source \"bogus:1\" (known: synthetic, v4l2:N, file:PATH, aravis[:ID]"},
        {"file:" + dir.file("missing.avi"), "cannot open " + dir.file("missing.avi")},
        {"file:" + dir.file("empty"), "no images in the directory"},
        {"v4l2:abc", "names no V4L2 device"},
        {"v4l2:977", "cannot open the V4L2 device /dev/video977"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CameraState state;
        EXPECT_EQ(OpenCamera(0, state, choose(c.name)), -1);
        EXPECT_NE(state.lastError.find(c.message), std::string::npos) << state.lastError;
        EXPECT_TRUE(state.FrameImage.empty());
        EXPECT_FALSE(state.backend);
        EXPECT_EQ(GrabFrame(state), GrabStatus::Failed);
    }
}

TEST(OpenCamera, ChooserIsAskedWithThePresetOnEveryOpening) {
    TempDir dir;
    writeSequence(dir.file("frames"), 32, 24, 1);
    std::vector<int> presets;
    const CameraChooser chooser = [&](int preset) {
        presets.push_back(preset);
        return "file:" + dir.file("frames");
    };
    CameraState state;
    ASSERT_EQ(OpenCamera(2, state, chooser), 0) << state.lastError;
    // A second opening of an open camera is refused and leaves it streaming.
    EXPECT_EQ(OpenCamera(2, state, chooser), -1);
    EXPECT_NE(state.lastError.find("already open"), std::string::npos);
    EXPECT_EQ(GrabFrame(state), GrabStatus::Ok) << state.lastError;
    CloseCamera(state);
    EXPECT_TRUE(state.FrameImage.empty());
    EXPECT_EQ(GrabFrame(state), GrabStatus::Failed);
    ASSERT_EQ(OpenCamera(5, state, chooser), 0) << state.lastError;
    EXPECT_EQ(presets, (std::vector<int>{2, 5}));
    CloseCamera(state);
}
