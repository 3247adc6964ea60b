#include "calibration_import.h"
#include <cmath>
#include <cstdio>
#include "calibration.h"

namespace {

const char* const kCameraParamPath = "Data/camera_para.dat";
constexpr double kHighRmsPx = 1.0;

int refuse(const std::string& message) {
    std::fprintf(stderr, "quillmark calibrate: %s; nothing written\n", message.c_str());
    return 1;
}

std::string sizeText(cv::Size size) { return std::to_string(size.width) + "x" + std::to_string(size.height); }

} // namespace

bool writeCalibrationRecord(const CameraParam& record) {
    std::string error, backup;
    if (!writeCameraParamKeepingBackup(kCameraParamPath, record, error, &backup)) {
        refuse(error);
        return false;
    }
    printCameraParam(record);
    std::printf("%s written for %dx%d images%s\n", kCameraParamPath, record.xsize, record.ysize,
                backup.empty() ? "" : ("; the previous file is kept as " + backup).c_str());
    return true;
}

int importCalibrationFile(const std::string& path, cv::Size size) {
    LensCalibration lens;
    std::string error;
    std::vector<std::string> warnings;
    if (!readLensCalibration(path, lens, error, &warnings)) return refuse(error);
    if (size.area() && lens.size.area() && size != lens.size)
        return refuse(path + " is for " + sizeText(lens.size) + " images, not " + sizeText(size) + " as --size says");
    if (!size.area()) size = lens.size;
    if (size.area() <= 0) {
        std::fprintf(stderr, "quillmark calibrate: %s does not give the image size; add --size WxH\n", path.c_str());
        return 1;
    }
    // A centre outside the frame is the mark of a size given the wrong way
    // round, a portrait camera with a landscape calibration say.
    const double cx = lens.cameraMatrix(0, 2), cy = lens.cameraMatrix(1, 2);
    if (!(cx > 0 && cx < size.width && cy > 0 && cy < size.height))
        return refuse(path + " puts the image centre at (" + std::to_string(cx) + ", " + std::to_string(cy) +
                      "), outside a " + sizeText(size) + " frame: is the size turned the wrong way?");
    const LensFit fit = fitLensCalibration(lens, size);
    if (!std::isfinite(fit.rmsPx))
        return refuse("the distortion in " + path + " folds over within a " + sizeText(size) + " frame");
    std::printf("%s converted: residual over the frame %.4f px RMS, %.4f px at most\n", path.c_str(), fit.rmsPx,
                fit.maxPx);
    for (const std::string& warning : warnings) std::printf("warning: %s.\n", warning.c_str());
    if (fit.rmsPx > kHighRmsPx)
        std::printf("warning: this lens bends more than the record's one radial factor can follow; "
                    "poses near the edges of the frame will be off.\n");
    return writeCalibrationRecord(fit.param) ? 0 : 1;
}
