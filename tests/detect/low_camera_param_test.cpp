#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "camera_param.h"
#include "detector_state.h"
#include "temp_dir.h"

namespace {

CameraParam sampleParam() {
    CameraParam p;
    p.xsize = 640;
    p.ysize = 480;
    const double projection[3][4] = {
        {702.5, 0.25, 318.75, 1.5}, {0.0, 698.125, 241.5, -2.0}, {0.0, 0.0, 1.0, 0.0}};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) p.projection[r][c] = projection[r][c];
    p.distortion[0] = 316.5;
    p.distortion[1] = 243.25;
    p.distortion[2] = 26.2;
    p.distortion[3] = 1.0127;
    return p;
}

void expectSameRecord(const CameraParam& a, const CameraParam& b) {
    EXPECT_EQ(a.xsize, b.xsize);
    EXPECT_EQ(a.ysize, b.ysize);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) EXPECT_EQ(a.projection[r][c], b.projection[r][c]) << r << c;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(a.distortion[i], b.distortion[i]) << i;
}

std::string printed(const CameraParam& p) {
    FILE* out = std::tmpfile();
    printCameraParam(p, out);
    std::rewind(out);
    std::string text;
    char buffer[256];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, out)) > 0) text.append(buffer, n);
    std::fclose(out);
    return text;
}

} // namespace

TEST(CameraParamFile, WrittenRecordIsBigEndianAndReadsBack) {
    TempDir dir;
    const std::string path = dir.file("camera_para.dat");
    const CameraParam written = sampleParam();
    ASSERT_EQ(0, saveCameraParam(path.c_str(), 1, &written));

    const std::string bytes = readFile(path);
    ASSERT_EQ(136u, bytes.size());
    EXPECT_EQ(std::string("\x00\x00\x02\x80\x00\x00\x01\xE0", 8), bytes.substr(0, 8));
    // 702.5 is 0x4085F40000000000 as an IEEE double.
    EXPECT_EQ(std::string("\x40\x85\xF4\x00\x00\x00\x00\x00", 8), bytes.substr(8, 8));
    // The distortion centre x0 = 316.5 = 0x4073C80000000000 opens the last 32 bytes.
    EXPECT_EQ(std::string("\x40\x73\xC8\x00\x00\x00\x00\x00", 8), bytes.substr(104, 8));

    CameraParam read;
    ASSERT_EQ(0, loadCameraParam(path.c_str(), 1, &read));
    expectSameRecord(written, read);
}

TEST(CameraParamFile, NegativeSizesSurviveTheByteOrder) {
    TempDir dir;
    const std::string path = dir.file("camera_para.dat");
    CameraParam written = sampleParam();
    written.xsize = -2;
    ASSERT_EQ(0, saveCameraParam(path.c_str(), 1, &written));
    EXPECT_EQ(std::string("\xFF\xFF\xFF\xFE", 4), readFile(path).substr(0, 4));
    CameraParam read;
    ASSERT_EQ(0, loadCameraParam(path.c_str(), 1, &read));
    EXPECT_EQ(-2, read.xsize);
}

TEST(CameraParamFile, OnlyWholeRecordsLoad) {
    TempDir dir;
    const std::string path = dir.file("camera_para.dat");
    const CameraParam records[2] = {sampleParam(), sampleParam()};
    ASSERT_EQ(0, saveCameraParam(path.c_str(), 2, records));
    const std::string two = readFile(path);
    ASSERT_EQ(272u, two.size());

    writeFile(path, two.substr(0, 136));
    CameraParam read;
    EXPECT_EQ(0, loadCameraParam(path.c_str(), 1, &read));

    writeFile(path, two.substr(0, 135));
    CameraParam untouched;
    EXPECT_EQ(-1, loadCameraParam(path.c_str(), 1, &untouched));
    EXPECT_EQ(0, untouched.xsize);
    EXPECT_EQ(0.0, untouched.projection[0][0]);

    // The second record is short: the first stays read and converted.
    writeFile(path, two.substr(0, 200));
    CameraParam pair[2];
    EXPECT_EQ(-1, loadCameraParam(path.c_str(), 2, pair));
    EXPECT_EQ(640, pair[0].xsize);
    EXPECT_EQ(0, pair[1].xsize);

    writeFile(path, "");
    EXPECT_EQ(-1, loadCameraParam(path.c_str(), 1, &read));
    EXPECT_EQ(-1, loadCameraParam(path.c_str(), 0, &read));
    EXPECT_EQ(-1, loadCameraParam(dir.file("missing.dat").c_str(), 1, &read));
}

TEST(CameraParamFile, SaveReportsAnUnwritablePath) {
    TempDir dir;
    const CameraParam record = sampleParam();
    EXPECT_EQ(-1, saveCameraParam(dir.file("no/such/dir/camera_para.dat").c_str(), 1, &record));
    EXPECT_EQ(-1, saveCameraParam(dir.file("camera_para.dat").c_str(), 0, &record));
}

TEST(CameraParamFile, HeaderBytesGiveWidthAndHeight) {
    TempDir dir;
    const std::string path = dir.file("camera_para.dat");
    writeFile(path, std::string("\x00\x00\x02\x80\x00\x00\x01\xE0", 8) + std::string(128, '\0'));
    CameraParam read;
    ASSERT_EQ(0, loadCameraParam(path.c_str(), 1, &read));
    EXPECT_EQ(640, read.xsize);
    EXPECT_EQ(480, read.ysize);
}

TEST(CameraParamScale, SameWidthChangesOnlyTheHeight) {
    const CameraParam source = sampleParam();
    CameraParam out;
    ASSERT_EQ(0, scaleCameraParam(source, 640, 400, out));
    CameraParam expected = source;
    expected.ysize = 400;
    expectSameRecord(expected, out);
}

TEST(CameraParamScale, HalfWidthHalvesRowsAndCentreAndQuadruplesRadialFactor) {
    const CameraParam source = sampleParam();
    for (int height : {240, 480}) {
        CameraParam out;
        ASSERT_EQ(0, scaleCameraParam(source, 320, height, out));
        EXPECT_EQ(320, out.xsize);
        EXPECT_EQ(height, out.ysize);
        for (int r = 0; r < 2; ++r)
            for (int c = 0; c < 4; ++c) EXPECT_EQ(source.projection[r][c] * 0.5, out.projection[r][c]);
        for (int c = 0; c < 4; ++c) EXPECT_EQ(source.projection[2][c], out.projection[2][c]);
        EXPECT_EQ(source.distortion[0] * 0.5, out.distortion[0]);
        EXPECT_EQ(source.distortion[1] * 0.5, out.distortion[1]);
        EXPECT_DOUBLE_EQ(source.distortion[2] * 4.0, out.distortion[2]);
        EXPECT_EQ(source.distortion[3], out.distortion[3]);
    }
}

TEST(CameraParamScale, RefusesAZeroWidthSource) {
    CameraParam zero;
    CameraParam out = sampleParam();
    EXPECT_EQ(-1, scaleCameraParam(zero, 640, 480, out));
    expectSameRecord(sampleParam(), out);
}

TEST(CameraParamPrint, ExactText) {
    const std::string expected =
        "--------------------------------------\n"
        "SIZE = 640, 480\n"
        "Distortion factor = 316.500000 243.250000 26.200000 1.012700\n"
        "702.50000 0.25000 318.75000 1.50000 \n"
        "0.00000 698.12500 241.50000 -2.00000 \n"
        "1.00000 0.00000 0.00000 0.00000 \n"
        "--------------------------------------\n";
    CameraParam p = sampleParam();
    p.projection[2][0] = 1.0;
    p.projection[2][2] = 0.0;
    EXPECT_EQ(expected, printed(p));
}

TEST(WorkingCameraParam, InstallCopiesRecordAndSizesLabelStorage) {
    resetDetector();
    EXPECT_EQ(0, detectorState().camera.xsize);
    CameraParam big = sampleParam();
    big.xsize = 4096;
    big.ysize = 3072;
    ASSERT_EQ(0, setWorkingCameraParam(big));
    const DetectorState& state = detectorState();
    EXPECT_EQ(4096, state.camera.xsize);
    EXPECT_EQ(3072, state.camera.ysize);
    EXPECT_EQ(4096u * 3072u, state.label.labels.size());
    expectSameRecord(big, state.camera.param);

    CameraParam bad = sampleParam();
    bad.ysize = 0;
    EXPECT_EQ(-1, setWorkingCameraParam(bad));
    bad.ysize = 1 << 20;
    bad.xsize = 1 << 20;
    EXPECT_EQ(-1, setWorkingCameraParam(bad));
    EXPECT_EQ(4096, detectorState().camera.xsize);
    resetDetector();
}

TEST(LensDistortion, CentreMapsToItself) {
    const CameraParam p = sampleParam();
    double x, y;
    idealToObserved(p.distortion, 316.5, 243.25, &x, &y);
    EXPECT_EQ(316.5, x);
    EXPECT_EQ(243.25, y);
    observedToIdeal(p.distortion, 316.5, 243.25, &x, &y);
    EXPECT_EQ(316.5, x);
    EXPECT_EQ(243.25, y);
}

TEST(LensDistortion, NoRadialFactorAndUnitScaleIsIdentity) {
    const double distortion[4] = {320, 240, 0, 1};
    for (double px : {0.0, 17.25, 639.0}) {
        for (double py : {0.0, 123.5, 479.0}) {
            double x, y;
            idealToObserved(distortion, px, py, &x, &y);
            EXPECT_DOUBLE_EQ(px, x);
            EXPECT_DOUBLE_EQ(py, y);
            observedToIdeal(distortion, px, py, &x, &y);
            EXPECT_DOUBLE_EQ(px, x);
            EXPECT_DOUBLE_EQ(py, y);
        }
    }
}

TEST(LensDistortion, BarrelPullsPointsTowardTheCentre) {
    const CameraParam p = sampleParam();
    double x, y;
    idealToObserved(p.distortion, 600.0, 243.25, &x, &y);
    // dx = 283.5 s, shrunk by 1 - p (dx^2): the observed point lies inward.
    const double dx = 283.5 * 1.0127;
    EXPECT_DOUBLE_EQ(316.5 + dx * (1.0 - 26.2e-8 * dx * dx), x);
    EXPECT_DOUBLE_EQ(243.25, y);
    EXPECT_LT(x, 600.0);
}

TEST(LensDistortion, IdealToObservedToIdealAcrossTheFrame) {
    const CameraParam p = sampleParam();
    for (double px = 0; px <= 640; px += 16) {
        for (double py = 0; py <= 480; py += 16) {
            double ox, oy, ix, iy;
            idealToObserved(p.distortion, px, py, &ox, &oy);
            observedToIdeal(p.distortion, ox, oy, &ix, &iy);
            EXPECT_NEAR(px, ix, 1e-3) << px << "," << py;
            EXPECT_NEAR(py, iy, 1e-3) << px << "," << py;
        }
    }
}
