#include "pattern_writer.h"
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include "camera_param.h"
#include "detector_state.h"
#include "evaluate.h"
#include "identity_check.h"
#include "pattern.h"
#include "pattern_file.h"
#include "render.h"

namespace {

// Longer side of a too large image retried by registerLargestSquare: the
// black square of a printable marker image is then about 320 pixels wide,
// a dark region the detector accepts.
constexpr int kReducedSide = 480;

const SquareCandidate* candidateOf(const MarkerInfo& marker) {
    const DetectorState& state = detectorState();
    for (int i = 0; i < state.candidateCount; ++i) {
        const SquareCandidate& candidate = state.candidates[i];
        if (candidate.area == marker.area && candidate.centroid[0] == marker.pos[0] &&
            candidate.centroid[1] == marker.pos[1])
            return &candidate;
    }
    return nullptr;
}

cv::Mat toBgra(const cv::Mat& image) {
    cv::Mat bgra;
    if (image.channels() == 1) cv::cvtColor(image, bgra, cv::COLOR_GRAY2BGRA);
    else if (image.channels() == 3) cv::cvtColor(image, bgra, cv::COLOR_BGR2BGRA);
    else bgra = image.clone();
    return bgra;
}

} // namespace

namespace {

// The four rotations as the file stores them. -1 when the marker has no
// candidate in the latest detection or a rotation cannot be sampled.
int sampleRotations(const uint8_t* frame, const MarkerInfo& marker, PatternCode codes[kPatternRotations]) {
    const SquareCandidate* candidate = candidateOf(marker);
    if (!candidate) return -1;
    for (int r = 0; r < kPatternRotations; ++r) {
        // Rotation 0 starts at corner 2, so that its top edge is the edge the
        // capture window marks and the thumbnail shows on top.
        int order[4];
        for (int k = 0; k < 4; ++k) order[k] = candidate->cornerIndex[(r + k + 2) % 4];
        // A rotation that cannot be sampled would store garbage that later
        // matches at random; no file is better.
        if (samplePatternCode(frame, candidate->xCoord, candidate->yCoord, order, &codes[r]) < 0) return -1;
    }
    return 0;
}

// The numbered pattern files beside `path` (the catalogue's, by the naming
// rule), other than `path` itself.
std::vector<std::string> patternFilesBeside(const std::string& path) {
    namespace fs = std::filesystem;
    std::vector<std::string> files;
    const fs::path target(path);
    const fs::path folder = target.parent_path().empty() ? fs::path(".") : target.parent_path();
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        if (numberedFileIndex(name, ".patt") < 0) continue;
        if (entry.path().filename() == target.filename()) continue;
        files.push_back((target.parent_path() / name).string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace

std::string judgeNewPattern(const PatternCode& code, const std::string& path, std::string* warning) {
    std::string problem = patternContrastProblem(code);
    if (!problem.empty() || !warning) return problem;
    // The detector's own table weighs the new code against each file; it
    // is put back as it was, so a running capture keeps its patterns.
    PatternTable& table = detectorState().patterns;
    const PatternTable saved = table;
    std::string close;
    double closest = 0.0;
    const std::vector<std::string> files = patternFilesBeside(path);
    for (size_t first = 0; first < files.size(); first += kPatternSlots) {
        table = PatternTable{};
        std::vector<std::string> loaded(kPatternSlots);
        for (size_t i = first; i < files.size() && i < first + kPatternSlots; ++i) {
            const int id = loadPatternFile(files[i].c_str());
            if (id >= 0) loaded[id] = files[i];
        }
        double score = 0.0;
        for (int id : similarPatterns(code, &score)) close += (close.empty() ? "" : ", ") + loaded[id];
        closest = std::max(closest, score);
    }
    table = saved;
    if (!close.empty()) {
        char text[120];
        std::snprintf(text, sizeof text, " (correlation %.2f at most): the two may be taken for each other", closest);
        *warning = "the new pattern is close to " + close + text;
    }
    return problem;
}

int writePatternFile(const uint8_t* frame, const MarkerInfo& marker, const char* path, std::string* refusal,
                     std::string* warning) {
    PatternCode codes[kPatternRotations];
    if (sampleRotations(frame, marker, codes) < 0) return -1;
    const std::string problem = judgeNewPattern(codes[0], path, warning);
    if (!problem.empty()) {
        if (refusal) *refusal = problem;
        return -1;
    }
    return writePatternCodes(path, codes);
}

void warpThumbnail(const MarkerInfo& marker, cv::Mat& thumbnail, const cv::Mat& frame) {
    if (thumbnail.empty()) thumbnail.create(kThumbnailSide, kThumbnailSide, frame.type());
    const double w = thumbnail.cols - 1;
    const double h = thumbnail.rows - 1;
    const int sourceVertex[4] = {2, 3, 0, 1};
    cv::Mat source(4, 2, CV_64F);
    const cv::Mat target = (cv::Mat_<double>(4, 2) << 0, 0, w, 0, w, h, 0, h);
    for (int k = 0; k < 4; ++k) {
        source.at<double>(k, 0) = marker.vertex[sourceVertex[k]][0];
        source.at<double>(k, 1) = marker.vertex[sourceVertex[k]][1];
    }
    const cv::Mat homography = cv::findHomography(source, target, 0, 0);
    if (homography.empty()) {
        // Degenerate corners: black rather than a stale image.
        thumbnail.setTo(cv::Scalar::all(0));
        return;
    }
    cv::warpPerspective(frame, thumbnail, homography, thumbnail.size(), cv::INTER_LINEAR,
                        cv::BORDER_CONSTANT, cv::Scalar::all(0));
}

namespace {

// The largest marker of the detection, or null.
const MarkerInfo* largestMarker(const MarkerInfo* markers, int count) {
    const MarkerInfo* largest = nullptr;
    for (int i = 0; i < count; ++i) {
        if (!largest || markers[i].area > largest->area) largest = &markers[i];
    }
    return largest;
}

// Detects in `frame` (BGRA) without lens distortion. -1 with `error` set
// when the labeling gives up.
int detectInStill(const cv::Mat& frame, MarkerInfo** markers, int* count, std::string& error) {
    // Lens distortion of an unknown camera is better left out than guessed:
    // the pattern is sampled from observed pixels anyway, and the thumbnail's
    // corners then coincide with the observed border.
    if (setWorkingCameraParam(makeCameraParam(frame.cols, frame.rows, frame.cols, 0.0)) < 0) {
        error = "the image is too large";
        return -1;
    }
    if (detectMarkers(frame.data, detectorState().options.threshold, markers, count) < 0) {
        error = "the image has too many dark regions to search";
        return -1;
    }
    return 0;
}

std::string lookedFor() {
    const DetectorOptions& o = detectorState().options;
    const std::string threshold =
        o.autoThreshold ? "the automatic threshold" : "threshold " + std::to_string(o.threshold);
    return "looked for a dark square of " + std::to_string(kMaxMarkerAreaMin) + " to " + std::to_string(o.maxMarkerArea) + " pixels (" + threshold + ", " +
           std::to_string(o.maxSquares) + " candidates at most)";
}

} // namespace

namespace {

// One look for the largest square of a still image, its pattern file
// written when the square may be registered.
struct StillRegistration {
    bool found = false;
    bool written = false;
    MarkerInfo marker{};  // the largest square, kept past the next detection
    std::string refusal;  // why its pattern was refused, or empty
    std::string warning;  // near-equal patterns beside the file
    int overLimit = 0;    // the largest dark region above the area limit, or 0
};

// -1 with `error` set when the image cannot be searched at all.
int registerFrom(const cv::Mat& frame, const std::string& patternPath, StillRegistration& look, std::string& error) {
    MarkerInfo* markers = nullptr;
    int count = 0;
    if (detectInStill(frame, &markers, &count, error) < 0) return -1;
    look.overLimit = largestRegionOverLimit(detectorState().options.maxMarkerArea);
    const MarkerInfo* largest = largestMarker(markers, count);
    if (!largest) return 0;
    look.found = true;
    look.marker = *largest;
    look.written = writePatternFile(frame.data, *largest, patternPath.c_str(), &look.refusal, &look.warning) == 0;
    return 0;
}

} // namespace

int registerLargestSquare(const cv::Mat& image, const std::string& patternPath,
                          const std::string& thumbnailPath, std::string& error, std::string* note) {
    if (image.empty() || image.depth() != CV_8U ||
        (image.channels() != 1 && image.channels() != 3 && image.channels() != 4)) {
        error = "the image is not an 8-bit grey or colour image";
        return -1;
    }
    cv::Mat frame = toBgra(image);
    StillRegistration look;
    if (registerFrom(frame, patternPath, look, error) < 0) return -1;
    // A close-up marker's region passes the area limit, and what is found
    // instead, if anything, is a square of its pattern, which holds no
    // pattern of its own: a copy reduced just enough to bring the region
    // under the limit holds the marker, smaller.
    const int maxArea = detectorState().options.maxMarkerArea;
    const int over = look.overLimit;
    double scale = 1.0;
    if (over > 0 && (!look.found || !look.refusal.empty())) {
        scale = scaleUnderLimit(over, maxArea);
        cv::Mat reduced;
        cv::resize(frame, reduced, cv::Size(), scale, scale, cv::INTER_AREA);
        StillRegistration second;
        if (reduced.cols >= 3 && reduced.rows >= 3 && registerFrom(reduced, patternPath, second, error) < 0) return -1;
        if (second.found) {
            frame = reduced;
            look = second;
            if (note) {
                char text[200];
                std::snprintf(text, sizeof text,
                              "the marker's region of %d pixels is above the area limit of %d; it was found on a "
                              "copy of the image reduced to %.0f %%",
                              over, maxArea, 100.0 * scale);
                *note = text;
            }
        } else if (look.found) {
            char text[200];
            std::snprintf(text, sizeof text,
                          " (the largest square found, of %d pixels; a dark region of %d pixels, above the area "
                          "limit of %d, is no square even on a copy reduced to %.0f %%)",
                          look.marker.area, over, maxArea, 100.0 * scale);
            look.refusal += text;
        }
    }
    if (!look.found) {
        error = "no square marker found (it needs a black border and a light margin around it); " + lookedFor();
        if (over > 0) error += "; the largest dark region, " + std::to_string(over) + " pixels, was above the limit even on a reduced copy";
        return -1;
    }
    if (!look.written) {
        error = look.refusal.empty() ? "cannot write " + patternPath : look.refusal;
        return -1;
    }
    cv::Mat thumbnail(kThumbnailSide, kThumbnailSide, CV_8UC4);
    warpThumbnail(look.marker, thumbnail, frame);
    bool saved = false;
    try {
        saved = cv::imwrite(thumbnailPath, thumbnail);
    } catch (const cv::Exception&) {
        // An extension OpenCV cannot write throws; it is reported below as a failed write.
    }
    if (!saved) {
        // Half a registration would leave a numbered pattern without its thumbnail.
        std::remove(patternPath.c_str());
        error = "cannot write " + thumbnailPath;
        return -1;
    }
    if (!look.warning.empty() && note) *note = note->empty() ? look.warning : *note + "; " + look.warning;
    return 0;
}
