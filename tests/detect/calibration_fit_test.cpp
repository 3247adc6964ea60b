// The calibration core on rendered chessboard views and on OpenCV and ROS
// calibration files: the record it fits reproduces the true camera closely
// enough that poses computed with it are as good as with the truth.
#include <gtest/gtest.h>
#include <filesystem>
#include "high_scene.h"
#include "calibration.h"
#include "chessboard_views.h"
#include "pattern.h"
#include "pose.h"
#include "temp_dir.h"

namespace {

constexpr ChessboardSpec kBoard{9, 6, 25.0};

std::vector<ChessboardView> findViews(const std::vector<cv::Mat>& frames) {
    std::vector<ChessboardView> views;
    for (const cv::Mat& frame : frames) {
        ChessboardView corners;
        if (findChessboard(frame, kBoard, corners)) views.push_back(corners);
    }
    return views;
}

// Mean translation error, in per cent of the distance, of rendered markers
// whose poses are computed with `installed` while the frames are seen
// through `truth`.
double meanTranslationErrorPercent(const CameraParam& truth, const CameraParam& installed) {
    TempDir dir;
    const cv::Mat pattern = makeRandomPattern(5);
    installCamera(installed);
    writePatternImageFile(dir.file("p.patt").c_str(), pattern);
    loadPatternFile(dir.file("p.patt").c_str());
    const double centre[2] = {0, 0};
    double sum = 0;
    int count = 0;
    for (const auto& v : std::vector<std::array<double, 5>>{
             {500, 0, 0, 320, 240}, {600, 30, 10, 150, 120}, {600, -20, 30, 500, 360}, {700, 40, -20, 480, 110},
             {450, -35, -15, 160, 370}, {800, 10, 45, 320, 100}}) {
        const PrintedMarker printed = markerAt(pattern, truth, 80, v[0], v[1], v[2], 15, v[3], v[4]);
        const std::vector<MarkerInfo> found = detect(renderFrame(truth, {printed}, RenderSettings{}));
        if (found.size() != 1) return 1e9;
        double transform[3][4];
        estimateMarkerPose(found[0], centre, 80, transform);
        sum += 100 * translationError(transform, printed.transform) / printed.transform[2][3];
        ++count;
    }
    return sum / count;
}

void writeText(const std::string& path, const std::string& text) { writeFile(path, text); }

} // namespace

TEST(CalibrationFit, RenderedViewsGiveTheTrueCameraAndItsPoses) {
    const CameraParam truth = calibrationTruth();
    RenderSettings settings;
    settings.blurSigmaPx = 0.6;
    settings.noiseSigma = 2.0;
    const std::vector<ChessboardView> views = findViews(renderChessboardViews(truth, 9, 6, 25.0, 15, settings));
    ASSERT_EQ(views.size(), 15u);
    CalibrationResult result;
    std::string error;
    ASSERT_TRUE(calibrateFromViews(views, kBoard, cv::Size(640, 480), result, error)) << error;
    const CameraParam& fitted = result.param;
    EXPECT_EQ(fitted.xsize, 640);
    EXPECT_EQ(fitted.ysize, 480);
    EXPECT_NEAR(fitted.projection[0][0], 600.0, 600.0 * 0.01);
    EXPECT_NEAR(fitted.projection[1][1], 600.0, 600.0 * 0.01);
    EXPECT_NEAR(fitted.projection[0][2], 326.0, 3.0);
    EXPECT_NEAR(fitted.projection[1][2], 236.0, 3.0);
    EXPECT_NEAR(fitted.distortion[0], 326.0, 3.0);
    EXPECT_NEAR(fitted.distortion[1], 236.0, 3.0);
    EXPECT_NEAR(fitted.distortion[2], 40.0, 40.0 * 0.15);
    EXPECT_EQ(fitted.distortion[3], 1.0);
    EXPECT_LT(result.rmsPx, 0.4);
    EXPECT_EQ(result.views, 15);
    EXPECT_GT(result.coverage, 0.5);

    const double withTruth = meanTranslationErrorPercent(truth, truth);
    const double withFitted = meanTranslationErrorPercent(truth, fitted);
    std::printf("translation error %.3f %% with the true camera, %.3f %% with the calibrated one\n", withTruth,
                withFitted);
    EXPECT_LT(withFitted, withTruth + 0.5);
}

// The renderer's board and the finder agree to a small fraction of a pixel,
// so the fit's accuracy is the model's, not the test's.
TEST(CalibrationFit, FoundCornersLieOnTheRenderedBoard) {
    const CameraParam camera = calibrationTruth();
    PrintedMarker board = makeChessboard(9, 6, 25.0);
    poseFromView(camera, 700, 20, -15, 10, 300, 250, board.transform);
    ChessboardView found;
    ASSERT_TRUE(findChessboard(renderFrame(camera, {board}, RenderSettings{}), kBoard, found));
    const std::vector<cv::Point3d> model = chessboardCorners(9, 6, 25.0);
    ASSERT_EQ(found.size(), model.size());
    // The finder may list the board from either end.
    double forward = 0, backward = 0;
    for (size_t i = 0; i < model.size(); ++i) {
        const cv::Point2d truth = observedPixelOf(camera, board.transform, model[i].x, model[i].y);
        forward += cv::norm(cv::Point2d(found[i]) - truth);
        backward += cv::norm(cv::Point2d(found[model.size() - 1 - i]) - truth);
    }
    EXPECT_LT(std::min(forward, backward) / model.size(), 0.1);
}

TEST(CalibrationFit, TooFewViewsAreRefused) {
    CalibrationResult result;
    std::string error;
    EXPECT_FALSE(calibrateFromViews(std::vector<ChessboardView>(2, ChessboardView(54)), kBoard, {640, 480}, result,
                                    error));
    EXPECT_EQ(error, "needs at least 3 views of the board, has 2");
    EXPECT_FALSE(calibrateFromViews(std::vector<ChessboardView>(3, ChessboardView(53)), kBoard, {640, 480}, result,
                                    error));
    EXPECT_EQ(error, "a view holds 53 corners where the board has 54");
    ChessboardView corners;
    EXPECT_FALSE(findChessboard(cv::Mat(480, 640, CV_8UC3, cv::Scalar::all(128)), kBoard, corners));
}

TEST(CalibrationFit, ViewsDifferByTheirCornersAndCoverTheirOutlines) {
    const ChessboardView a{{0, 0}, {100, 0}, {100, 100}, {0, 100}};
    ChessboardView b = a;
    for (cv::Point2f& p : b) p.x += 30;
    EXPECT_DOUBLE_EQ(viewDistance(a, a), 0.0);
    EXPECT_DOUBLE_EQ(viewDistance(a, b), 30.0);
    EXPECT_DOUBLE_EQ(viewDistance(a, ChessboardView(a.rbegin(), a.rend())), 0.0) << "listed from the other end";
    EXPECT_NEAR(boardCoverage({a}, {200, 200}), 0.25, 0.03);
    EXPECT_NEAR(boardCoverage({a, b}, {200, 200}), 0.325, 0.03) << "the union, not the sum";
}

// OpenCV's model with one radial term is the record's model in other units;
// the fit over the frame must find it again almost exactly.
TEST(CalibrationFiles, OpenCvAndRosFilesConvertWithATinyResidual) {
    TempDir dir;
    const cv::Matx33d K(612.5, 0, 318.2, 0, 610.1, 243.7, 0, 0, 1);
    {
        cv::FileStorage yaml(dir.file("opencv.yml"), cv::FileStorage::WRITE);
        yaml << "image_width" << 640 << "image_height" << 480 << "camera_matrix" << cv::Mat(K)
             << "distortion_coefficients" << cv::Mat(cv::Matx<double, 5, 1>(-0.12, 0, 0, 0, 0));
        cv::FileStorage xml(dir.file("opencv.xml"), cv::FileStorage::WRITE);
        xml << "camera_matrix" << cv::Mat(K) << "distortion_coefficients"
            << cv::Mat(cv::Matx<double, 4, 1>(-0.12, 0, 0, 0));
    }
    writeText(dir.file("ros.yaml"), "image_width: 640\nimage_height: 480\ncamera_name: webcam\n"
                                    "camera_matrix:\n  rows: 3\n  cols: 3\n"
                                    "  data: [612.5, 0, 318.2, 0, 610.1, 243.7, 0, 0, 1]\n"
                                    "distortion_model: plumb_bob\ndistortion_coefficients:\n  rows: 1\n  cols: 5\n"
                                    "  data: [-0.12, 0, 0, 0, 0]\n");
    for (const char* name : {"opencv.yml", "opencv.xml", "ros.yaml"}) {
        SCOPED_TRACE(name);
        LensCalibration lens;
        std::string error;
        ASSERT_TRUE(readLensCalibration(dir.file(name), lens, error)) << error;
        EXPECT_EQ(lens.cameraMatrix, K);
        EXPECT_DOUBLE_EQ(lens.distortion[0], -0.12);
        EXPECT_EQ(lens.size, std::string(name) == "opencv.xml" ? cv::Size() : cv::Size(640, 480));
        const LensFit fit = fitLensCalibration(lens, {640, 480});
        EXPECT_LT(fit.rmsPx, 0.1);
        EXPECT_LT(fit.maxPx, 0.3);
        EXPECT_NEAR(fit.param.projection[0][0], 612.5, 1.0);
        EXPECT_NEAR(fit.param.projection[1][2], 243.7, 1.0);
        EXPECT_NEAR(fit.param.distortion[2], 0.12 / (612.5 * 610.1) * 1e8, 1.0);
    }
}

TEST(CalibrationFiles, ALensThatFoldsOverWithinTheFrameHasNoRecord) {
    LensCalibration lens;
    lens.cameraMatrix = cv::Matx33d(300, 0, 320, 0, 300, 240, 0, 0, 1);
    lens.distortion = {-1.0, 0, 0, 0}; // the image radius peaks at 115 px, then shrinks again
    EXPECT_FALSE(std::isfinite(fitLensCalibration(lens, {640, 480}).rmsPx));
}

// A ROS file with the lens model and image size given; `model` and `data`
// fill in the distortion.
std::string rosFile(const std::string& size, const std::string& model, const std::string& data) {
    return size + "camera_matrix:\n  rows: 3\n  cols: 3\n  data: [600, 0, 320, 0, 600, 240, 0, 0, 1]\n" +
           "distortion_model: " + model + "\ndistortion_coefficients:\n  rows: 1\n  cols: " +
           std::to_string(1 + std::count(data.begin(), data.end(), ',')) + "\n  data: [" + data + "]\n";
}

TEST(CalibrationFiles, BrokenFilesAndLensModelsTheRecordCannotHoldAreNamed) {
    TempDir dir;
    const std::string k = "camera_matrix: !!opencv-matrix\n  rows: 3\n  cols: 3\n  dt: d\n"
                          "  data: [600, 0, 320, 0, 600, 240, 0, 0, 1]\n";
    const std::string d = "distortion_coefficients: !!opencv-matrix\n  rows: 5\n  cols: 1\n  dt: d\n"
                          "  data: [0, 0, 0, 0, 0]\n";
    const std::string size = "image_width: 640\nimage_height: 480\n";
    const struct {
        const char* name;
        std::string text;
        const char* expected;
    } cases[] = {
        {"nok.yml", "%YAML:1.0\n" + d, " has no camera_matrix"},
        {"nod.yml", "%YAML:1.0\n" + k, " has no distortion_coefficients"},
        {"bad.yml", "camera_matrix: [1, 2\n  x: {", " is not an OpenCV or ROS calibration file"},
        {"small.yml", "%YAML:1.0\ncamera_matrix: [1, 2, 3]\n" + d, ": camera_matrix is not a 3 x 3 matrix"},
        {"huge.yml", "%YAML:1.0\n" + std::string(k).replace(k.find("cols: 3"), 7, "cols: 2000000000") + d,
         ": camera_matrix is not a 3 x 3 matrix"},
        {"zero.yml", "%YAML:1.0\n" + std::string(k).replace(k.find("600"), 3, "0") + d,
         ": camera_matrix is not a 3 x 3 matrix of finite numbers with positive focal lengths"},
        {"nan.yml", "%YAML:1.0\n" + k + std::string(d).replace(d.find("[0"), 2, "[.nan"),
         ": distortion_coefficients holds a number that is not finite"},
        {"negative.yaml", rosFile("image_width: -640\nimage_height: -480\n", "plumb_bob", "0, 0, 0, 0, 0"),
         ": image_width and image_height are not a positive image size"},
        {"fisheye.yaml", rosFile(size, "equidistant", "-0.01, 0.002, 0, 0"),
         ": distortion_model equidistant is a fisheye lens, which the camera record"},
        {"unknown.yaml", rosFile(size, "division", "0.1, 0, 0, 0, 0"), ": distortion_model \"division\" is not one"},
        {"count.yaml", rosFile(size, "rational_polynomial", "0.1, 0, 0, 0, 0"),
         ": distortion_model rational_polynomial takes 8 distortion_coefficients, not 5"},
    };
    for (const auto& c : cases) {
        writeText(dir.file(c.name), c.text);
        LensCalibration lens;
        std::string error;
        EXPECT_FALSE(readLensCalibration(dir.file(c.name), lens, error)) << c.name;
        EXPECT_EQ(error.rfind(dir.file(c.name) + c.expected, 0), 0u) << error;
    }
    LensCalibration lens;
    std::string error;
    EXPECT_FALSE(readLensCalibration(dir.file("missing.yml"), lens, error));
    EXPECT_EQ(error, "cannot read " + dir.file("missing.yml") + ": there is no such file");
    ASSERT_TRUE(std::filesystem::create_directory(dir.file("folder.yml")));
    EXPECT_FALSE(readLensCalibration(dir.file("folder.yml"), lens, error));
    EXPECT_EQ(error, "cannot read " + dir.file("folder.yml") + ": it is a directory, not a file");

    // Some editors start a UTF-8 file with a byte-order mark; the file is
    // read as if it were not there.
    const std::vector<std::string> texts{"%YAML:1.0\n" + k + d, rosFile(size, "plumb_bob", "-0.1, 0, 0, 0, 0"),
                                    "<?xml version=\"1.0\"?>\n<opencv_storage>\n<camera_matrix type_id=\"opencv-matrix\">"
                                    "<rows>3</rows><cols>3</cols><dt>d</dt><data>600 0 320 0 600 240 0 0 1</data>"
                                    "</camera_matrix>\n<distortion_coefficients type_id=\"opencv-matrix\"><rows>5</rows>"
                                    "<cols>1</cols><dt>d</dt><data>0 0 0 0 0</data></distortion_coefficients>\n"
                                    "</opencv_storage>\n"};
    for (const std::string& text : texts) {
        writeText(dir.file("bom.txt"), "\xEF\xBB\xBF" + text);
        EXPECT_TRUE(readLensCalibration(dir.file("bom.txt"), lens, error)) << error << "\n" << text;
        EXPECT_EQ(lens.cameraMatrix(0, 0), 600.0);
    }

    // The rational terms are named where they are not zero; plumb_bob converts without a word.
    std::vector<std::string> warnings;
    writeText(dir.file("rational.yaml"), rosFile(size, "rational_polynomial", "-0.1, 0.01, 0, 0, 0, 0.2, 0, 0.05"));
    ASSERT_TRUE(readLensCalibration(dir.file("rational.yaml"), lens, error, &warnings)) << error;
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].rfind("the record has no rational terms: k4, k6 of " + dir.file("rational.yaml") +
                                " are dropped", 0), 0u) << warnings[0];
    warnings.clear();
    writeText(dir.file("plumb.yaml"), rosFile(size, "plumb_bob", "-0.1, 0.01, 0, 0, 0"));
    ASSERT_TRUE(readLensCalibration(dir.file("plumb.yaml"), lens, error, &warnings)) << error;
    EXPECT_TRUE(warnings.empty());
}

// Every earlier file is kept under a name of its own, and a record that is
// no camera, or a write that cannot finish, changes nothing at all.
TEST(CalibrationFiles, WritingKeepsEveryPreviousRecordAndRefusesNoCamera) {
    TempDir dir;
    const std::string path = dir.file("camera_para.dat");
    std::string error, backup;
    int width = 100;
    const auto write = [&] { return writeCameraParamKeepingBackup(path, makeCameraParam(width++, 480, 500, 1), error, &backup); };
    ASSERT_TRUE(write()) << error;
    EXPECT_EQ(backup, "");
    ASSERT_TRUE(write()) << error;
    EXPECT_EQ(backup, path + ".bak");
    ASSERT_TRUE(write()) << error;
    EXPECT_EQ(backup, path + ".bak.1");
    writeFile(path + ".bak.7", "kept by hand");
    ASSERT_TRUE(write()) << error;
    EXPECT_EQ(backup, path + ".bak.8") << "numbered above every backup there";
    EXPECT_EQ(readFile(path + ".bak.7"), "kept by hand");
    const struct {
        const char* name;
        int expectedWidth;
    } kept[] = {{"camera_para.dat", 103}, {"camera_para.dat.bak", 100}, {"camera_para.dat.bak.1", 101},
                {"camera_para.dat.bak.8", 102}};
    for (const auto& k : kept) {
        CameraParam read;
        ASSERT_EQ(loadCameraParam(dir.file(k.name).c_str(), 1, &read), 0) << k.name;
        EXPECT_EQ(read.xsize, k.expectedWidth) << k.name;
    }

    CameraParam negative = makeCameraParam(640, 480, 500, 1), flat = negative, undefined = negative;
    negative.xsize = -640;
    flat.projection[1][1] = 0;
    undefined.distortion[2] = std::nan("");
    for (const CameraParam& bad : {negative, flat, undefined}) {
        EXPECT_FALSE(writeCameraParamKeepingBackup(path, bad, error));
        EXPECT_EQ(error.rfind("the calibration gives no usable camera: its ", 0), 0u) << error;
    }
    EXPECT_FALSE(writeCameraParamKeepingBackup(dir.file("no/dir/camera_para.dat"), makeCameraParam(640, 480, 500, 1),
                                               error));
    EXPECT_EQ(error.rfind("cannot write a new file beside " + dir.file("no/dir/camera_para.dat"), 0), 0u) << error;
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) files += entry.exists();
    EXPECT_EQ(files, 5u) << "the refusals left no file and no backup behind";
    EXPECT_EQ(readFile(path).size(), 136u);
}
