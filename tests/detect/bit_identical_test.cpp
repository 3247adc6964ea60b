// The detector's outputs on a fixed set of rendered frames, compared bit for
// bit with digests recorded from an earlier build. Speed work on the detector
// must leave every label, contour, corner, identity, confidence and pose
// exactly as it was; this test is what proves it.
//
// Each scene is digested stage by stage (the frame itself, the labeling, the
// square candidates, the markers, the evaluated results), so a mismatch names
// the first stage that changed. A changed frame digest means the renderer (or
// OpenCV underneath it) changed, not the detector. When a change of results
// is intended, the failure message prints the scene's new table row.
#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>
#include "detector_state.h"
#include "evaluate.h"
#include "pattern.h"
#include "render.h"
#include "temp_dir.h"

namespace {

// 64-bit FNV-1a over the exact bytes of every value fed to it.
class Digest {
public:
    void bytes(const void* data, std::size_t size) {
        const auto* p = static_cast<const uint8_t*>(data);
        for (std::size_t i = 0; i < size; ++i) hash_ = (hash_ ^ p[i]) * 0x100000001b3ULL;
    }
    template <typename T> void value(const T& v) { bytes(&v, sizeof v); }
    uint64_t result() const { return hash_; }

private:
    uint64_t hash_ = 0xcbf29ce484222325ULL;
};

struct SceneRecipe {
    const char* name;
    int width, height;
    int markers;
    PrintedMarker::Face face;
    double minSidePx, maxSidePx;
    double maxTiltDeg;
    RenderSettings render; // width, height and seed are filled from the recipe
    double distortionAt640 = 5.0; // the lens's radial factor, scaled with the width
};

void PrintTo(const SceneRecipe& recipe, std::ostream* out) { *out << recipe.name; }

struct Golden {
    const char* name;
    uint64_t frame, labels, candidates, markers, results;
    int markerCount, resultCount;
};

// A tag-like 8 x 8 image: black outer ring, random cells inside, so the
// border merges with the dark cells that touch it.
cv::Mat ringedPattern(uint32_t seed) {
    cv::RNG rng(seed);
    cv::Mat image(8, 8, CV_8UC3, cv::Scalar::all(0));
    for (int y = 1; y < 7; ++y)
        for (int x = 1; x < 7; ++x)
            if (rng.uniform(0, 2)) image.at<cv::Vec3b>(y, x) = cv::Vec3b(255, 255, 255);
    return image;
}

RenderSettings settings(double blur, double noise, int clutter, double paper = 255.0, double ink = 0.0) {
    RenderSettings s;
    s.blurSigmaPx = blur;
    s.noiseSigma = noise;
    s.clutterCount = clutter;
    s.paperLevel = paper;
    s.inkLevel = ink;
    return s;
}

const SceneRecipe kScenes[] = {
    {"vga_four", 640, 480, 4, PrintedMarker::PatternInBorder, 60, 140, 40, settings(0.6, 2.0, 40)},
    {"hd_twelve", 1280, 720, 12, PrintedMarker::PatternInBorder, 50, 160, 60, settings(1.0, 4.0, 120)},
    {"fullhd_ringed", 1920, 1080, 6, PrintedMarker::WholeSquare, 40, 300, 55, settings(0.8, 3.0, 200)},
    {"vga_small_steep", 640, 480, 10, PrintedMarker::PatternInBorder, 22, 45, 72, settings(1.2, 6.0, 30)},
    {"vga_dim_noisy", 640, 480, 3, PrintedMarker::PatternInBorder, 80, 150, 30, settings(0.5, 18.0, 20, 125.0, 60.0)},
    {"qvga_grain", 320, 240, 2, PrintedMarker::WholeSquare, 50, 90, 20, settings(0.0, 30.0, 10, 140.0, 50.0)},
    // Without distortion (f = 0, s = 1) the pose takes the pinhole path.
    {"vga_four_pinhole", 640, 480, 4, PrintedMarker::PatternInBorder, 60, 140, 40, settings(0.6, 2.0, 40), 0.0},
    {"hd_twelve_pinhole", 1280, 720, 12, PrintedMarker::PatternInBorder, 50, 160, 60, settings(1.0, 4.0, 120), 0.0},
};

constexpr int kPatterns = 14; // more than any scene shows: the rest compete in matching
constexpr double kWidthMm = 80.0;

CameraParam sceneCamera(const SceneRecipe& recipe) {
    const double scale = recipe.width / 640.0;
    return makeCameraParam(recipe.width, recipe.height, 700.0 * scale, recipe.distortionAt640 / (scale * scale));
}

cv::Mat scenePattern(const SceneRecipe& recipe, int i) {
    return recipe.face == PrintedMarker::WholeSquare ? ringedPattern(500 + i) : makeRandomPattern(900 + i);
}

// Markers on a grid, each with its own size, tilt and roll drawn from the
// scene's ranges.
cv::Mat renderScene(const SceneRecipe& recipe, const CameraParam& camera) {
    cv::RNG rng(recipe.width * 31 + recipe.markers);
    const int columns = recipe.markers <= 2 ? recipe.markers : recipe.markers <= 4 ? 2 : recipe.markers <= 6 ? 3 : 4;
    const int rows = (recipe.markers + columns - 1) / columns;
    const double cellW = static_cast<double>(recipe.width) / columns, cellH = static_cast<double>(recipe.height) / rows;
    const double focal = camera.projection[0][0];
    std::vector<PrintedMarker> printed;
    for (int i = 0; i < recipe.markers; ++i) {
        PrintedMarker marker;
        marker.pattern = scenePattern(recipe, i);
        marker.face = recipe.face;
        marker.widthMm = kWidthMm;
        marker.marginFraction = recipe.face == PrintedMarker::WholeSquare ? 0.2 : 0.25;
        const double side = rng.uniform(recipe.minSidePx, recipe.maxSidePx);
        const double tilt = rng.uniform(0.0, recipe.maxTiltDeg);
        const double turn = rng.uniform(0.0, 360.0);
        poseFromView(camera, focal * kWidthMm / side, tilt * std::cos(turn), tilt * std::sin(turn),
                     rng.uniform(0.0, 360.0), cellW * (i % columns + rng.uniform(0.4, 0.6)),
                     cellH * (i / columns + rng.uniform(0.4, 0.6)), marker.transform);
        printed.push_back(marker);
    }
    RenderSettings render = recipe.render;
    render.width = recipe.width;
    render.height = recipe.height;
    render.seed = static_cast<uint32_t>(recipe.width + recipe.markers);
    return renderFrame(camera, printed, render);
}

uint64_t digestFrame(const cv::Mat& bgr) {
    Digest d;
    for (int y = 0; y < bgr.rows; ++y) d.bytes(bgr.ptr(y), bgr.cols * bgr.elemSize());
    return d.result();
}

// Final labels per pixel (provisional numbering is the labeler's own
// business) and every region statistic.
uint64_t digestLabels(const LabelImage* label) {
    Digest d;
    if (!label) return d.result();
    d.value(label->labelCount);
    const int pixels = label->width * label->height;
    for (int i = 0; i < pixels; ++i) {
        const int16_t p = label->labels[i];
        d.value(p > 0 ? label->labelMap[p - 1] : 0);
    }
    for (int r = 0; r < label->labelCount; ++r) {
        d.value(label->area[r]);
        d.bytes(label->centroid + 2 * r, 2 * sizeof(double));
        d.bytes(label->clipBox + 4 * r, 4 * sizeof(int32_t));
    }
    return d.result();
}

uint64_t digestCandidates(const DetectorState& state) {
    Digest d;
    d.value(state.candidateCount);
    for (int i = 0; i < state.candidateCount; ++i) {
        const SquareCandidate& c = state.candidates[i];
        d.value(c.area);
        d.bytes(c.centroid, sizeof c.centroid);
        d.value(c.contourLength);
        d.bytes(c.xCoord, sizeof(int32_t) * c.contourLength);
        d.bytes(c.yCoord, sizeof(int32_t) * c.contourLength);
        d.bytes(c.cornerIndex, sizeof c.cornerIndex);
    }
    return d.result();
}

uint64_t digestMarkers(const MarkerInfo* markers, int count) {
    Digest d;
    d.value(count);
    for (int i = 0; i < count; ++i) {
        const MarkerInfo& m = markers[i];
        d.value(m.area);
        d.value(m.id);
        d.value(m.dir);
        d.value(m.cf);
        d.bytes(m.pos, sizeof m.pos);
        d.bytes(m.line, sizeof m.line);
        d.bytes(m.vertex, sizeof m.vertex);
    }
    return d.result();
}

uint64_t digestResults(const ResultTable& table) {
    Digest d;
    d.value(table.size());
    for (const MarkerResult& r : table) {
        d.value(r.patternId);
        d.bytes(r.name.data(), r.name.size());
        d.value(r.width);
        d.value(r.px);
        d.value(r.py);
        d.value(r.area);
        d.value(r.cf);
        d.value(r.dx);
        d.value(r.dy);
        d.bytes(r.vertex, sizeof r.vertex);
        d.value(r.X);
        d.value(r.Y);
        d.value(r.Z);
        d.bytes(r.glMatrix, sizeof r.glMatrix);
    }
    return d.result();
}

// Recorded from the detector as it stood before any speed work; the results
// of the distorted scenes again when the pose learnt to fit through the lens.
const Golden kGolden[] = {
    {"vga_four", 0x4db708ac8e2f030fULL, 0x4ca4ffa8b5ec6bc7ULL, 0xc7f112540a752dfeULL, 0x40780e90f5b3df75ULL, 0xf0642d510074e014ULL, 4, 4},
    {"hd_twelve", 0x9071248524a93d38ULL, 0x0c541809289cfba5ULL, 0xe83ff2542b6c3775ULL, 0xe0513fd07f860352ULL, 0x70de758a4044526eULL, 14, 12},
    {"fullhd_ringed", 0x9b6ebcd3c5bde25aULL, 0xa98e0ea14ec49f87ULL, 0x26c1ed78676d1767ULL, 0xcddeaec541ce12faULL, 0x31785daa2f8d16f2ULL, 7, 6},
    {"vga_small_steep", 0x3555f2227b0cca7aULL, 0x0a9e49bf36f122f3ULL, 0xc9995cd89ca024a0ULL, 0x18ef7097f98aacbfULL, 0x77e73e42978a3824ULL, 10, 9},
    {"vga_dim_noisy", 0xb12dd6e82b0796dfULL, 0x699fe49632a2a017ULL, 0x3b236a6b2a9ddc82ULL, 0xcfdb0b08aed5335aULL, 0x602d73f4cf1dc0e8ULL, 3, 3},
    {"qvga_grain", 0x7bbe78cc8ad0ecc1ULL, 0xc1b9fcff22d0c6d1ULL, 0x285e498bf1e63599ULL, 0x6934aa4399f0fcedULL, 0xd24c52edf50d046bULL, 2, 2},
    {"vga_four_pinhole", 0xb38084027bf71028ULL, 0x217b357900566d36ULL, 0x2babdeea05c9c71cULL, 0x835e3c2339a5971dULL, 0x52b6e2a2fae65fa8ULL, 4, 4},
    {"hd_twelve_pinhole", 0x2b5c764bbf082ef0ULL, 0x5a5f98c54fe8ad1aULL, 0x8dc117d70777402aULL, 0xa770a9a044113e04ULL, 0x53b297f741be5173ULL, 13, 11},
};

std::string tableRow(const Golden& g) {
    char row[256];
    std::snprintf(row, sizeof row,
                  "{\"%s\", 0x%016" PRIx64 "ULL, 0x%016" PRIx64 "ULL, 0x%016" PRIx64 "ULL, 0x%016" PRIx64
                  "ULL, 0x%016" PRIx64 "ULL, %d, %d},",
                  g.name, g.frame, g.labels, g.candidates, g.markers, g.results, g.markerCount, g.resultCount);
    return row;
}

class BitIdenticalTest : public ::testing::TestWithParam<SceneRecipe> {};

TEST_P(BitIdenticalTest, DetectionAndEvaluationMatchTheRecordedDigests) {
    const SceneRecipe& recipe = GetParam();
    const Golden* golden = nullptr;
    for (const Golden& g : kGolden)
        if (std::strcmp(g.name, recipe.name) == 0) golden = &g;

    TempDir dir;
    resetDetector();
    const CameraParam camera = sceneCamera(recipe);
    ASSERT_EQ(setWorkingCameraParam(camera), 0);
    Catalogue catalogue;
    for (int i = 0; i < kPatterns; ++i) {
        const std::string path = dir.file("p" + std::to_string(i) + ".patt");
        cv::Mat pattern = scenePattern(recipe, i);
        // The detector reads the inner half of a square: cells 2..5 of a ringed image.
        if (pattern.rows != kPatternSide)
            cv::resize(pattern(cv::Rect(2, 2, 4, 4)), pattern, cv::Size(kPatternSide, kPatternSide), 0, 0,
                       cv::INTER_NEAREST);
        ASSERT_EQ(writePatternImageFile(path.c_str(), pattern), 0);
        ASSERT_EQ(loadPatternFile(path.c_str()), i);
        PatternEntry entry;
        entry.index = i;
        entry.name = "P" + std::to_string(i);
        entry.path = path;
        entry.width = kWidthMm;
        catalogue.push_back(entry);
    }

    const cv::Mat bgr = renderScene(recipe, camera);
    const cv::Mat frame = toDetectorFrame(bgr);
    Golden actual{recipe.name, digestFrame(bgr), 0, 0, 0, 0, 0, 0};
    actual.labels = digestLabels(labelDarkRegions(frame.data, DETECT_THRESHOLD));
    MarkerInfo* markers = nullptr;
    int count = 0;
    detectMarkers(frame.data, DETECT_THRESHOLD, &markers, &count);
    actual.candidates = digestCandidates(detectorState());
    actual.markers = digestMarkers(markers, count);
    actual.markerCount = count;
    ResultTable table;
    evaluateMarkers(frame.data, catalogue, table);
    actual.results = digestResults(table);
    actual.resultCount = static_cast<int>(table.size());

    ASSERT_NE(golden, nullptr) << "no recorded digests; the row is\n" << tableRow(actual);
    const std::string row = "current row: " + tableRow(actual);
    ASSERT_EQ(actual.frame, golden->frame) << "the rendered frame changed, not the detector\n" << row;
    EXPECT_EQ(actual.labels, golden->labels) << row;
    EXPECT_EQ(actual.candidates, golden->candidates) << row;
    EXPECT_EQ(actual.markerCount, golden->markerCount) << row;
    EXPECT_EQ(actual.markers, golden->markers) << row;
    EXPECT_EQ(actual.resultCount, golden->resultCount) << row;
    EXPECT_EQ(actual.results, golden->results) << row;
}

INSTANTIATE_TEST_SUITE_P(Scenes, BitIdenticalTest, ::testing::ValuesIn(kScenes),
                         [](const ::testing::TestParamInfo<SceneRecipe>& info) { return std::string(info.param.name); });

} // namespace
