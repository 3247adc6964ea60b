// The Aravis backend against Aravis's own simulated camera (its Fake
// interface, in process), so the real GenICam path runs: feature access,
// stream, buffers, acquisition start and stop.
#include <dirent.h>
#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>
#include "camera.h"
#include "camera_aravis.h"

namespace {

const std::string FakeSpec = "aravis:Fake_1";

CameraChooser choose(const std::string& sourceName) {
    return [sourceName](int) { return sourceName; };
}

int threadCount() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}

bool channelsEqual(const cv::Mat& bgr) {
    std::vector<cv::Mat> planes;
    cv::split(bgr, planes);
    return cv::norm(planes[0], planes[1], cv::NORM_INF) == 0 && cv::norm(planes[1], planes[2], cv::NORM_INF) == 0;
}

}  // namespace

TEST(AravisCamera, FakeCameraDeliversFreshGreyFramesAsBgr) {
    CameraState state;
    ASSERT_EQ(OpenCamera(0, state, choose(FakeSpec)), 0) << state.lastError;
    ASSERT_EQ(state.FrameImage.type(), CV_8UC3);
    ASSERT_EQ(state.FrameImage.size(), cv::Size(512, 512));
    EXPECT_TRUE(channelsEqual(state.FrameImage));
    const cv::Mat first = state.FrameImage.clone();
    double minValue, maxValue;
    cv::minMaxLoc(first.reshape(1), &minValue, &maxValue);
    EXPECT_LT(minValue, maxValue) << "the simulated camera draws a ramp, not a flat frame";
    ASSERT_EQ(GrabFrame(state), GrabStatus::Ok) << state.lastError;
    ASSERT_EQ(GrabFrame(state), GrabStatus::Ok) << state.lastError;
    EXPECT_GT(cv::norm(first, state.FrameImage, cv::NORM_INF), 0) << "grabs returned the same frame";

    bool listed = false;
    for (const CameraSource& source : enumerateCameraSources()) listed |= source.name == FakeSpec;
    EXPECT_TRUE(listed);
    CloseCamera(state);
}

// The simulated camera keeps streaming when acquisition is stopped, so the
// stall is a frame period far longer than the grab timeout.
TEST(AravisCamera, StalledCameraTimesOutInsteadOfHanging) {
    CameraState state;
    state.grabTimeoutMs = 300;
    ASSERT_EQ(OpenCamera(0, state, choose(FakeSpec)), 0) << state.lastError;
    auto* camera = dynamic_cast<AravisCamera*>(state.backend.get());
    ASSERT_NE(camera, nullptr);
    GError* err = nullptr;
    arv_camera_set_frame_rate(camera->camera(), 1.0, &err);
    ASSERT_EQ(err, nullptr);
    // Frames that arrived before the change may still be queued; then nothing comes.
    GrabStatus status = GrabStatus::Ok;
    for (int i = 0; i < 6 && status == GrabStatus::Ok; ++i) status = GrabFrame(state);
    EXPECT_EQ(status, GrabStatus::Timeout);
    EXPECT_NE(state.lastError.find("no frame within 300 ms"), std::string::npos) << state.lastError;
    EXPECT_EQ(state.FrameImage.size(), cv::Size(512, 512));
    CloseCamera(state);
}

TEST(AravisCamera, CloseEndsEveryThreadItStarted) {
    CameraState state;
    // The first opening may start Aravis's and GLib's process-wide helpers.
    ASSERT_EQ(OpenCamera(0, state, choose(FakeSpec)), 0) << state.lastError;
    CloseCamera(state);
    const int before = threadCount();
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(OpenCamera(0, state, choose(FakeSpec)), 0) << state.lastError;
        ASSERT_EQ(GrabFrame(state), GrabStatus::Ok) << state.lastError;
        CloseCamera(state);
    }
    EXPECT_EQ(threadCount(), before);
}

TEST(AravisCamera, BayerModeOfTheFakeCameraConvertsToColour) {
    std::string error;
    std::unique_ptr<CameraBackend> backend = createCameraBackend(FakeSpec, error);
    ASSERT_TRUE(backend) << error;
    auto* camera = dynamic_cast<AravisCamera*>(backend.get());
    ASSERT_NE(camera, nullptr);
    GError* err = nullptr;
    arv_camera_set_pixel_format(camera->camera(), ARV_PIXEL_FORMAT_BAYER_RG_8, &err);
    ASSERT_EQ(err, nullptr);
    ASSERT_TRUE(backend->start(error)) << error;
    cv::Mat bgr;
    ASSERT_EQ(backend->grab(bgr, 3000, error), GrabStatus::Ok) << error;
    EXPECT_EQ(bgr.type(), CV_8UC3);
    EXPECT_EQ(bgr.size(), cv::Size(512, 512));
}

TEST(AravisCamera, UnknownDeviceIsRefusedWithItsName) {
    CameraState state;
    EXPECT_EQ(OpenCamera(0, state, choose("aravis:NoSuchCamera-42")), -1);
    EXPECT_NE(state.lastError.find("aravis:NoSuchCamera-42: cannot connect to the camera"), std::string::npos)
        << state.lastError;
    EXPECT_FALSE(state.backend);
}

// A mosaic of one uniform colour in each Bayer layout must come back as
// that colour: catches swapped red and blue and shifted layouts.
TEST(GenicamConversion, BayerLayoutsRecoverAUniformColour) {
    const int red = 200, green = 100, blue = 40;
    const struct {
        ArvPixelFormat format;
        const char* layout;  // colours of the 2 x 2 cell, row by row
    } cases[] = {
        {ARV_PIXEL_FORMAT_BAYER_RG_8, "RGGB"},
        {ARV_PIXEL_FORMAT_BAYER_GR_8, "GRBG"},
        {ARV_PIXEL_FORMAT_BAYER_GB_8, "GBRG"},
        {ARV_PIXEL_FORMAT_BAYER_BG_8, "BGGR"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.layout);
        cv::Mat mosaic(16, 20, CV_8UC1);
        for (int y = 0; y < mosaic.rows; ++y) {
            for (int x = 0; x < mosaic.cols; ++x) {
                const char colour = c.layout[(y % 2) * 2 + x % 2];
                mosaic.at<uchar>(y, x) = static_cast<uchar>(colour == 'R' ? red : colour == 'G' ? green : blue);
            }
        }
        cv::Mat bgr;
        ASSERT_TRUE(convertGenicamFrame(mosaic.data, mosaic.cols, mosaic.rows, mosaic.step, c.format, bgr));
        EXPECT_EQ(bgr.at<cv::Vec3b>(8, 10), cv::Vec3b(blue, green, red));
    }
}

TEST(GenicamConversion, PackedAndGreyFormatsHonourRowPadding) {
    const int width = 5, height = 3, stride = 3 * width + 3;
    std::vector<uchar> rgb(static_cast<size_t>(stride) * height, 0xEE);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uchar* p = &rgb[static_cast<size_t>(y) * stride + 3 * x];
            p[0] = 10;  // R
            p[1] = static_cast<uchar>(x);
            p[2] = static_cast<uchar>(y);
        }
    }
    cv::Mat bgr;
    ASSERT_TRUE(convertGenicamFrame(rgb.data(), width, height, stride, ARV_PIXEL_FORMAT_RGB_8_PACKED, bgr));
    EXPECT_EQ(bgr.at<cv::Vec3b>(2, 4), cv::Vec3b(2, 4, 10));

    std::vector<uint16_t> mono16 = {0x0000, 0x8000, 0xFFFF, 0x1234};
    ASSERT_TRUE(convertGenicamFrame(mono16.data(), 3, 1, 8, ARV_PIXEL_FORMAT_MONO_16, bgr));
    EXPECT_EQ(bgr.at<cv::Vec3b>(0, 1), cv::Vec3b(128, 128, 128));
    EXPECT_EQ(bgr.at<cv::Vec3b>(0, 2), cv::Vec3b(255, 255, 255));

    EXPECT_FALSE(convertGenicamFrame(rgb.data(), width, height, stride, ARV_PIXEL_FORMAT_YUV_422_PACKED, bgr));
}
