// A calibration file as a user imports it (OpenCV YAML or XML, ROS YAML),
// through the real reader, the fit into the record and the writer under
// Data/: whatever the file holds, the camera file afterwards is either the
// earlier one untouched or a usable record, and the earlier one is kept.
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include "calibration.h"
#include "fuzz_entries.h"
#include "render.h"

namespace {

const char* const ImportPath = "import.yml";
const char* const CameraPath = "Data/camera_para.dat";

// The fit needs no more than a frame's shape; a small one keeps runs quick.
const cv::Size AssumedSize(64, 48);

std::string checkLens(const LensCalibration& lens) {
    for (int i = 0; i < 9; ++i)
        if (!std::isfinite(lens.cameraMatrix(i / 3, i % 3))) return "a read camera matrix holds a non-finite number";
    if (!(lens.cameraMatrix(0, 0) > 0) || !(lens.cameraMatrix(1, 1) > 0)) return "a read focal length is not positive";
    const size_t n = lens.distortion.size();
    if (n != 4 && n != 5 && n != 8 && n != 12 && n != 14) return "a read distortion has a count OpenCV does not take";
    for (double d : lens.distortion)
        if (!std::isfinite(d)) return "a read distortion coefficient is not finite";
    if (lens.size != cv::Size() && (lens.size.width < 1 || lens.size.height < 1)) return "a read image size is not positive";
    return "";
}

void removeCameraFiles() {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("Data", ignored))
        if (entry.path().filename().string().rfind("camera_para.dat", 0) == 0)
            std::filesystem::remove(entry.path(), ignored);
}

std::string recordBytes(const CameraParam& record) {
    std::string bytes(sizeof record, '\0');
    std::memcpy(bytes.data(), &record, sizeof record);
    return bytes;
}

}  // namespace

std::string fuzzCalibrationFile(const uint8_t* data, size_t size) {
    {
        std::ofstream out(ImportPath, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        if (!out) return "cannot write the file to import";
    }
    LensCalibration lens;
    std::string error;
    std::vector<std::string> warnings;
    if (!readLensCalibration(ImportPath, lens, error, &warnings))
        return error.rfind(ImportPath, 0) == 0 ? "" : "a refusal does not name the file";
    if (std::string problem = checkLens(lens); !problem.empty()) return problem;
    const cv::Size frame = lens.size.area() > 0 && lens.size.area() <= 1 << 22 ? lens.size : AssumedSize;
    const LensFit fit = fitLensCalibration(lens, frame);
    if (!std::isfinite(fit.rmsPx)) return "";

    removeCameraFiles();
    const CameraParam earlier = makeCameraParam(320, 240, 300.0, 1.0);
    if (saveCameraParam(CameraPath, 1, &earlier) != 0) return "cannot write the earlier camera file";
    std::string backup;
    const bool written = writeCameraParamKeepingBackup(CameraPath, fit.param, error, &backup);
    CameraParam stored, kept;
    if (!readCameraParamFile(CameraPath, stored, error)) return "the camera file is no usable camera after an import";
    if (!written) {
        if (recordBytes(stored) != recordBytes(earlier)) return "a refused import changed the camera file";
        return std::filesystem::exists(std::string(CameraPath) + ".bak") ? "a refused import left a backup" : "";
    }
    if (recordBytes(stored) != recordBytes(fit.param)) return "the written camera file is not the fitted record";
    if (backup.empty() || loadCameraParam(backup.c_str(), 1, &kept) != 0 || recordBytes(kept) != recordBytes(earlier))
        return "the earlier camera file was not kept";
    return "";
}
