// The files of calibration: OpenCV and ROS calibrations read in, the
// record written out with every previous one kept.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include "calibration.h"
#include "whole_file.h"
#include "replace_file.h"

namespace {

// ROS writes YAML without the "%YAML:1.0" line that OpenCV's reader wants;
// XML and JSON announce themselves by their first character.
std::string asOpenCvText(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return text;
    if (text[first] == '%' || text[first] == '<' || text[first] == '{') return text;
    return "%YAML:1.0\n" + text;
}

// Calibration matrices are 3 x 3 and at most 14 coefficients; a larger
// size is a damaged file, and must not become an allocation.
constexpr int kMaxMatrixEntries = 16;

// An OpenCV matrix node (rows, cols, dt, data), a ROS one (rows, cols,
// data, no dt) or a bare sequence, as a flat list of its entries in row
// order. The entries are taken from the data themselves, and a matrix's
// rows and cols must agree with their count.
bool readMatrixEntries(const cv::FileNode& node, std::vector<double>& values) {
    values.clear();
    const cv::FileNode data = node.isMap() ? node["data"] : node;
    if (!data.isSeq() || data.size() == 0 || data.size() > static_cast<size_t>(kMaxMatrixEntries)) return false;
    if (node.isMap() && !node["rows"].empty()) {
        const cv::FileNode rows = node["rows"], cols = node["cols"];
        if (!rows.isInt() || !cols.isInt()) return false;
        const long long count = static_cast<long long>(static_cast<int>(rows)) * static_cast<int>(cols);
        if (count != static_cast<long long>(data.size())) return false;
    }
    for (const cv::FileNode& entry : data) {
        if (!entry.isReal() && !entry.isInt()) return false;
        values.push_back(static_cast<double>(entry));
    }
    return true;
}

bool allFinite(const std::vector<double>& values) {
    for (double v : values)
        if (!std::isfinite(v)) return false;
    return true;
}

std::string formatTerms(const std::vector<std::string>& names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) text += (i ? ", " : "") + names[i];
    return text;
}

// ROS names the lens model; OpenCV's files do not, and their coefficients
// are always the pinhole model's. The record follows a pinhole lens over the
// frame, whatever its terms; a fisheye lens maps angles, not tangents, and
// has no pinhole counterpart at all.
bool checkLensModel(const cv::FileStorage& fs, const std::string& path, const LensCalibration& lens,
                    std::string& error, std::vector<std::string>* warnings) {
    const cv::FileNode node = fs["distortion_model"];
    if (node.empty()) return true;
    const std::string model = node.isString() ? static_cast<std::string>(node) : "";
    const size_t count = lens.distortion.size();
    if (model == "equidistant" || model == "fisheye") {
        error = path + ": distortion_model " + model +
                " is a fisheye lens, which the camera record (a pinhole camera with one radial factor) "
                "cannot express; calibrate this camera with quillmark calibrate instead";
        return false;
    }
    if (model == "plumb_bob" && (count == 4 || count == 5)) return true;
    if (model == "rational_polynomial" && count == 8) {
        static const char* const rational[] = {"k4", "k5", "k6"};
        std::vector<std::string> named;
        for (int i = 0; i < 3; ++i)
            if (lens.distortion[5 + i] != 0.0) named.push_back(rational[i]);
        if (!named.empty() && warnings)
            warnings->push_back("the record has no rational terms: " + formatTerms(named) + " of " + path +
                                " are dropped, and its one radial factor follows their effect over the frame only "
                                "as closely as the residual says");
        return true;
    }
    if (model == "plumb_bob" || model == "rational_polynomial") {
        error = path + ": distortion_model " + model + " takes " + (model == "plumb_bob" ? "5" : "8") +
                " distortion_coefficients, not " + std::to_string(count);
        return false;
    }
    error = path + ": distortion_model \"" + model +
            "\" is not one the camera record can express (plumb_bob or rational_polynomial)";
    return false;
}

bool readImageSize(const cv::FileStorage& fs, const std::string& path, LensCalibration& lens, std::string& error) {
    const cv::FileNode width = fs["image_width"], height = fs["image_height"];
    if (width.empty() || height.empty()) return true;
    const double w = width.isInt() || width.isReal() ? static_cast<double>(width) : 0.0;
    const double h = height.isInt() || height.isReal() ? static_cast<double>(height) : 0.0;
    if (!(w >= 1 && h >= 1 && w <= 100000 && h <= 100000 && w == std::floor(w) && h == std::floor(h))) {
        error = path + ": image_width and image_height are not a positive image size in whole pixels";
        return false;
    }
    lens.size = cv::Size(static_cast<int>(w), static_cast<int>(h));
    return true;
}

bool readLensNodes(const cv::FileStorage& fs, const std::string& path, LensCalibration& lens, std::string& error,
                   std::vector<std::string>* warnings) {
    std::vector<double> values;
    const cv::FileNode matrix = fs["camera_matrix"];
    if (matrix.empty()) {
        error = path + " has no camera_matrix";
        return false;
    }
    if (!readMatrixEntries(matrix, values) || values.size() != 9 || !allFinite(values) || !(values[0] > 0) ||
        !(values[4] > 0)) {
        error = path + ": camera_matrix is not a 3 x 3 matrix of finite numbers with positive focal lengths";
        return false;
    }
    for (int i = 0; i < 9; ++i) lens.cameraMatrix(i / 3, i % 3) = values[i];
    const cv::FileNode coefficients = fs["distortion_coefficients"];
    if (coefficients.empty()) {
        error = path + " has no distortion_coefficients";
        return false;
    }
    if (!readMatrixEntries(coefficients, values) ||
        (values.size() != 4 && values.size() != 5 && values.size() != 8 && values.size() != 12 && values.size() != 14)) {
        error = path + ": distortion_coefficients must hold 4, 5, 8, 12 or 14 numbers";
        return false;
    }
    if (!allFinite(values)) {
        error = path + ": distortion_coefficients holds a number that is not finite";
        return false;
    }
    lens.distortion = values;
    return checkLensModel(fs, path, lens, error, warnings) && readImageSize(fs, path, lens, error);
}

// Written and read back whole before it may replace the file the running
// system depends on.
bool writeWhole(const std::string& fresh, const CameraParam& record) {
    if (saveCameraParam(fresh.c_str(), 1, &record) != 0) return false;
    CameraParam back;
    return loadCameraParam(fresh.c_str(), 1, &back) == 0 && std::memcmp(&back, &record, sizeof back) == 0;
}

} // namespace

bool readLensCalibration(const std::string& path, LensCalibration& lens, std::string& error,
                         std::vector<std::string>* warnings) {
    std::string text, reason;
    if (!readWholeFile(path, text, reason)) {
        error = "cannot read " + path + ": " + reason;
        return false;
    }
    // Editors on some systems start a UTF-8 file with a byte-order mark,
    // which OpenCV's parser takes for text.
    static const char kByteOrderMark[] = "\xEF\xBB\xBF";
    if (text.compare(0, 3, kByteOrderMark) == 0) text.erase(0, 3);
    lens = LensCalibration{};
    // OpenCV's XML parser reads through a null pointer when the text ends
    // inside a tag (an attribute's "=" followed by nothing but spaces); a
    // whole file ends with its closing tag, so anything else is cut short.
    const size_t first = text.find_first_not_of(" \t\r\n");
    const size_t last = text.find_last_not_of(" \t\r\n");
    if (first != std::string::npos && text[first] == '<' && text[last] != '>') {
        error = path + " is not an OpenCV or ROS calibration file (YAML or XML): it is cut short";
        return false;
    }
    try {
        cv::FileStorage fs(asOpenCvText(text), cv::FileStorage::READ | cv::FileStorage::MEMORY);
        if (!fs.isOpened()) {
            error = path + " is not an OpenCV or ROS calibration file (YAML or XML)";
            return false;
        }
        return readLensNodes(fs, path, lens, error, warnings);
    } catch (const std::exception&) {
        // OpenCV's parser throws its own exceptions and, on some damaged
        // text, the standard library's (a length_error, say).
        error = path + " is not an OpenCV or ROS calibration file (YAML or XML): it cannot be parsed";
        return false;
    }
}

bool writeCameraParamKeepingBackup(const std::string& path, const CameraParam& record, std::string& error,
                                   std::string* backupPath) {
    if (backupPath) backupPath->clear();
    const std::string problem = cameraParamProblem(record);
    if (!problem.empty()) {
        error = "the calibration gives no usable camera: " + problem;
        return false;
    }
    return replaceFileKeepingBackup(
        path, [&record](const std::string& fresh) { return writeWhole(fresh, record); }, error, backupPath);
}
