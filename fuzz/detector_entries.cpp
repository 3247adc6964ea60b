// The detector's own inputs: pattern files, camera parameter files and
// frames. Files go through the real readers under Data/; frames through the
// tracking worker's per-frame path (BGR to BGRA, then evaluateMarkers).
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <opencv2/imgproc.hpp>
#include "camera_param.h"
#include "catalogue_patterns.h"
#include "detector_state.h"
#include "evaluate.h"
#include "fuzz_entries.h"
#include "fuzz_input.h"
#include "pattern.h"
#include "refine.h"
#include "render.h"

namespace {

const char* const PatternPath = "Data/000.patt";
const char* const CameraPath = "Data/camera_para.dat";
const std::string ShippedData = std::string(QUILLMARK_SOURCE_DIR) + "/Data/";

bool writeBytes(const char* path, const uint8_t* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

FILE* discard() {
    static FILE* sink = std::fopen("/dev/null", "w");
    return sink;
}

// The shipped camera and four patterns, read once; every run starts its
// detector from them.
struct ShippedDetector {
    CameraParam camera;
    PatternTable patterns;
    Catalogue catalogue;
    bool ready = false;
};

const ShippedDetector& shippedDetector() {
    static const ShippedDetector shipped = [] {
        ShippedDetector s;
        resetDetector();
        const char* const names[] = {"Flag", "Fork", "Kite", "Hook"};
        bool loaded = loadCameraParam((ShippedData + "camera_para.dat").c_str(), 1, &s.camera) == 0;
        for (int i = 0; i < 4; ++i) {
            char file[16];
            std::snprintf(file, sizeof file, "%03d.patt", i);
            loaded = loaded && loadPatternFile((ShippedData + file).c_str()) == i;
            PatternEntry entry;
            entry.index = i;
            entry.name = names[i];
            entry.path = patternFilePath(i);
            entry.width = 80.0;
            s.catalogue.push_back(entry);
        }
        s.patterns = detectorState().patterns;
        s.ready = loaded;
        return s;
    }();
    return shipped;
}

std::string checkMarkers(const MarkerInfo* markers, int count, int limit) {
    if (count < 0 || count > limit) return "the detector listed more markers than it may";
    for (int k = 0; k < count; ++k) {
        if (markers[k].id < -1 || markers[k].id >= kPatternSlots) return "a marker's id is outside the table";
        if (markers[k].dir < -1 || markers[k].dir > 3) return "a marker's direction is not a rotation";
    }
    return "";
}

// Runs the tracking worker's detection and the capture worker's on a BGR
// frame with the shipped patterns, `camera` installed at the frame's size.
std::string detectOnFrame(const cv::Mat& bgr, const CameraParam& camera) {
    const ShippedDetector& shipped = shippedDetector();
    if (!shipped.ready) return "the shipped camera and patterns cannot be read";
    resetDetector();
    detectorState().patterns = shipped.patterns;
    CameraParam scaled;
    if (scaleCameraParam(camera, bgr.cols, bgr.rows, scaled) != 0) return "";
    if (setWorkingCameraParam(scaled) != 0) return "a frame-sized camera could not be installed";
    cv::Mat frame;
    cv::cvtColor(bgr, frame, cv::COLOR_BGR2BGRA);
    ResultTable table;
    evaluateMarkers(frame.data, shipped.catalogue, table);
    for (const MarkerResult& result : table) {
        if (result.patternId < 0 || result.patternId >= static_cast<int>(shipped.catalogue.size()))
            return "a reported marker is not catalogued";
        if (result.name != shipped.catalogue[static_cast<size_t>(result.patternId)].name)
            return "a reported marker carries another pattern's name";
        if (!(result.cf >= MIN_CONFIDENCE)) return "a marker below the confidence cut was reported";
    }
    MarkerInfo* markers = nullptr;
    int count = 0;
    // The second run with sub-pixel corners, which refine every identified marker.
    for (int run = 0; run < 2; ++run) {
        detectorState().options.cornerRefine = run == 1;
        if (detectMarkersWithHistory(frame.data, DETECT_THRESHOLD, &markers, &count) == 0) {
            if (std::string problem = checkMarkers(markers, count, kMaxMarkers); !problem.empty()) return problem;
        }
    }
    return "";
}

// A 160 x 120 frame showing the first shipped pattern, drawn once.
const cv::Mat& markerFrame() {
    static const cv::Mat frame = [] {
        const CameraParam camera = makeCameraParam(160, 120, 175.0, 5.0);
        PrintedMarker marker;
        readPatternImage((ShippedData + "000.patt").c_str(), marker.pattern);
        poseFromView(camera, 320.0, 20.0, -15.0, 30.0, 80.0, 60.0, marker.transform);
        RenderSettings settings;
        settings.width = 160;
        settings.height = 120;
        return renderFrame(camera, {marker}, settings);
    }();
    return frame;
}

}  // namespace

std::string fuzzPatternFile(const uint8_t* data, size_t size) {
    if (!writeBytes(PatternPath, data, size)) return "cannot write Data/000.patt";
    resetDetector();
    const int id = loadPatternFile(PatternPath);
    if (id == -1) return detectorState().patterns.count == 0 ? "" : "a refused pattern file took a slot";
    if (id != 0) return "the first pattern did not take slot 0";
    const PatternTemplate& slot = detectorState().patterns.slot[0];
    for (double norm : slot.norm) {
        if (!(norm > 0.0) || !std::isfinite(norm)) return "a loaded rotation has no usable norm";
    }
    // Rotation 0 read back as an image and matched must find the pattern itself.
    cv::Mat image;
    if (readPatternImage(PatternPath, image) != 0) return "a loaded pattern file cannot be read as an image";
    PatternCode code;
    for (int row = 0; row < kPatternSide; ++row)
        for (int column = 0; column < kPatternSide; ++column)
            for (int plane = 0; plane < kPatternPlanes; ++plane)
                code.value[(row * kPatternSide + column) * kPatternPlanes + plane] =
                    image.at<cv::Vec3b>(row, column)[plane];
    int matched = 0, dir = 0;
    double cf = 0.0;
    if (matchPatternCode(code, &matched, &dir, &cf) == 0 && (matched != 0 || cf < 0.999))
        return "a loaded pattern does not match its own rotation 0";
    return "";
}

std::string fuzzCameraFile(const uint8_t* data, size_t size) {
    if (!writeBytes(CameraPath, data, size)) return "cannot write Data/camera_para.dat";
    const int count = size >= 2 * kCameraParamRecordBytes ? 2 : 1;
    CameraParam records[2];
    const int result = loadCameraParam(CameraPath, count, records);
    const bool whole = size >= static_cast<size_t>(count) * kCameraParamRecordBytes;
    if ((result == 0) != whole) return "loadCameraParam's result does not follow the file's length";
    if (result != 0) return "";
    printCameraParam(records[0], discard());
    // Written back, the records must come back bit for bit.
    if (saveCameraParam(CameraPath, count, records) != 0) return "saveCameraParam failed";
    CameraParam again[2];
    if (loadCameraParam(CameraPath, count, again) != 0) return "a written camera file cannot be read";
    for (int i = 0; i < count; ++i) {
        if (std::memcmp(&records[i], &again[i], sizeof(CameraParam)) != 0)
            return "a camera record changed between a write and a read";
    }
    double x = 0.0, y = 0.0;
    observedToIdeal(records[0].distortion, 100.0, 80.0, &x, &y);
    idealToObserved(records[0].distortion, x, y, &x, &y);
    // Whatever the record holds, a frame with a marker is looked at through it.
    return detectOnFrame(markerFrame(), records[0]);
}

std::string fuzzDetector(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const int width = 8 + in.word() % 313;
    const int height = 8 + in.word() % 233;
    cv::Mat bgr(height, width, CV_8UC3, cv::Scalar(255, 255, 255));
    const std::string pixels = in.bytes(bgr.total() * 3);
    std::memcpy(bgr.data, pixels.data(), pixels.size());
    if (std::string problem = detectOnFrame(bgr, shippedDetector().camera); !problem.empty()) return problem;
    // Then any square at all, NaNs and infinities included, handed to the
    // refinement's public entry on the same frame.
    cv::Mat frame;
    cv::cvtColor(bgr, frame, cv::COLOR_BGR2BGRA);
    MarkerInfo square{};
    for (auto& vertex : square.vertex)
        for (double& v : vertex) v = in.rawDouble();
    for (auto& line : square.line)
        for (double& v : line) v = in.rawDouble();
    const int sides = refineMarkerEdges(frame.data, frame.cols, frame.rows, shippedDetector().camera.distortion, square);
    if (sides < 0 || sides > 4) return "the refinement counted more sides than a square has";
    if (sides > 0) {
        for (int k = 0; k < 4; ++k)
            if (!std::isfinite(square.vertex[k][0]) || !std::isfinite(square.vertex[k][1]))
                return "a refined corner is not finite";
    }
    return "";
}
