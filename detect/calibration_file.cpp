// The files of calibration: OpenCV and ROS calibrations read in, the
// record written out with the previous one kept.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include "calibration.h"

namespace {

std::string readWhole(const std::string& path, bool& ok) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    ok = static_cast<bool>(in) || in.eof();
    return text.str();
}

// ROS writes YAML without the "%YAML:1.0" line that OpenCV's reader wants;
// XML and JSON announce themselves by their first character.
std::string asOpenCvText(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return text;
    if (text[first] == '%' || text[first] == '<' || text[first] == '{') return text;
    return "%YAML:1.0\n" + text;
}

// An OpenCV matrix node (rows, cols, dt, data) or a ROS one (rows, cols,
// data, no dt), as a flat list of its entries in row order.
bool readMatrixEntries(const cv::FileNode& node, std::vector<double>& values) {
    values.clear();
    if (node.isMap() && !node["dt"].empty()) {
        cv::Mat m;
        node >> m;
        if (m.empty()) return false;
        m.convertTo(m, CV_64F);
        values.assign(m.begin<double>(), m.end<double>());
        return true;
    }
    const cv::FileNode data = node.isMap() ? node["data"] : node;
    if (!data.isSeq()) return false;
    for (const cv::FileNode& entry : data) {
        if (!entry.isReal() && !entry.isInt()) return false;
        values.push_back(static_cast<double>(entry));
    }
    return true;
}

bool readLensNodes(const cv::FileStorage& fs, const std::string& path, LensCalibration& lens, std::string& error) {
    std::vector<double> values;
    const cv::FileNode matrix = fs["camera_matrix"];
    if (matrix.empty()) {
        error = path + " has no camera_matrix";
        return false;
    }
    if (!readMatrixEntries(matrix, values) || values.size() != 9 || values[0] <= 0 || values[4] <= 0) {
        error = path + ": camera_matrix is not a 3 x 3 matrix with positive focal lengths";
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
    lens.distortion = values;
    const cv::FileNode width = fs["image_width"], height = fs["image_height"];
    if (!width.empty() && !height.empty()) lens.size = cv::Size(static_cast<int>(width), static_cast<int>(height));
    return true;
}

} // namespace

bool readLensCalibration(const std::string& path, LensCalibration& lens, std::string& error) {
    bool ok = false;
    const std::string text = readWhole(path, ok);
    if (!ok || !std::filesystem::is_regular_file(path)) {
        error = "cannot read " + path;
        return false;
    }
    lens = LensCalibration{};
    try {
        cv::FileStorage fs(asOpenCvText(text), cv::FileStorage::READ | cv::FileStorage::MEMORY);
        if (!fs.isOpened()) {
            error = path + " is not an OpenCV or ROS calibration file (YAML or XML)";
            return false;
        }
        return readLensNodes(fs, path, lens, error);
    } catch (const cv::Exception&) {
        error = path + " is not an OpenCV or ROS calibration file (YAML or XML): it cannot be parsed";
        return false;
    }
}

bool writeCameraParamKeepingBackup(const std::string& path, const CameraParam& record, std::string& error) {
    const std::string fresh = path + ".new", backup = path + ".bak";
    if (saveCameraParam(fresh.c_str(), 1, &record) != 0) {
        std::remove(fresh.c_str());
        error = "cannot write " + fresh;
        return false;
    }
    std::error_code ec;
    if (std::filesystem::exists(path, ec)) {
        std::filesystem::rename(path, backup, ec);
        if (ec) {
            std::remove(fresh.c_str());
            error = "cannot keep " + path + " as " + backup + ": " + ec.message();
            return false;
        }
    }
    std::filesystem::rename(fresh, path, ec);
    if (ec) {
        error = "cannot write " + path + ": " + ec.message();
        return false;
    }
    return true;
}
