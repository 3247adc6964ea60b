// The detector's fast paths against a plain transcription of the arithmetic
// they replace, on random inputs: the SSE2 dark test of the labeling, the
// 16-bit pattern codes with their SIMD dot products, and the row-wise
// vectorised sampling. A speed-up that changes any result fails here, with
// the input that shows it, without a recorded digest.
#include <gtest/gtest.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>
#include "detector_state.h"
#include "labeling.h"
#include "pattern.h"
#include "temp_dir.h"

namespace {

using Random = std::mt19937;

int uniform(Random& random, int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }

// A BGRA frame of random bytes; with `near` around 3 x `near` channel sums,
// where the dark test decides.
std::vector<uint8_t> randomFrame(Random& random, int width, int height, int near) {
    std::vector<uint8_t> frame(static_cast<size_t>(width) * height * 4);
    for (uint8_t& b : frame) b = static_cast<uint8_t>(near < 0 ? uniform(random, 0, 255) : std::clamp(near + uniform(random, -3, 3), 0, 255));
    return frame;
}

void install(int width, int height) {
    CameraParam camera;
    camera.xsize = width;
    camera.ysize = height;
    camera.projection[0][0] = camera.projection[1][1] = 500.0;
    camera.projection[2][2] = 1.0;
    camera.distortion[3] = 1.0;
    ASSERT_EQ(setWorkingCameraParam(camera), 0);
}

TEST(FastPaths, DarkTestOfTheLabelingIsTheChannelSumAgainstThreeTimesTheThreshold) {
    Random random(11);
    resetDetector();
    for (int trial = 0; trial < 60; ++trial) {
        // Odd widths leave a tail after the vector loop's blocks of pixels.
        const int width = uniform(random, 3, 97), height = uniform(random, 3, 60);
        const int threshold = trial % 3 == 0 ? 100 : uniform(random, 1, 254);
        install(width, height);
        const std::vector<uint8_t> frame = randomFrame(random, width, height, trial % 2 ? threshold : -1);
        const LabelImage* label = labelDarkRegions(frame.data(), threshold);
        ASSERT_NE(label, nullptr);
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const uint8_t* p = &frame[(static_cast<size_t>(y) * width + x) * 4];
                const bool interior = x > 0 && y > 0 && x < width - 1 && y < height - 1;
                const bool dark = interior && p[0] + p[1] + p[2] <= 3 * threshold;
                ASSERT_EQ(label->labels[y * width + x] > 0, dark)
                    << "pixel (" << x << ", " << y << ") of " << width << "x" << height << ", threshold " << threshold;
            }
    }
}

// The specified matcher, in 32-bit integers and doubles throughout.
struct PlainTemplate {
    int32_t code[kPatternRotations][kPatternValues];
    double norm[kPatternRotations];
    bool active;
};

PlainTemplate plainTemplate(const std::vector<int>& values, bool active) {
    PlainTemplate t{};
    t.active = active;
    for (int r = 0; r < kPatternRotations; ++r) {
        int32_t sum = 0;
        for (int i = 0; i < kPatternValues; ++i) {
            // File order: plane, row, column; code order: row, column, plane.
            const int plane = i / 256, row = i / 16 % 16, column = i % 16;
            const int index = (row * 16 + column) * 3 + plane;
            t.code[r][index] = 255 - values[r * kPatternValues + i];
            sum += t.code[r][index];
        }
        const int32_t mean = sum / kPatternValues;
        int32_t squares = 0;
        for (int32_t& v : t.code[r]) {
            v -= mean;
            squares += v * v;
        }
        t.norm[r] = std::sqrt(static_cast<double>(squares));
        if (t.norm[r] == 0.0) t.norm[r] = 1e-7;
    }
    return t;
}

int plainMatch(const PatternCode& code, const std::vector<PlainTemplate>& templates, int* id, int* dir, double* cf) {
    int32_t sum = 0;
    for (uint8_t b : code.value) sum += 255 - b;
    const int32_t mean = sum / kPatternValues;
    int32_t input[kPatternValues];
    int32_t squares = 0;
    for (int i = 0; i < kPatternValues; ++i) {
        input[i] = 255 - code.value[i] - mean;
        squares += input[i] * input[i];
    }
    const double power = std::sqrt(static_cast<double>(squares));
    if (power == 0.0) {
        *id = 0, *dir = 0, *cf = -1.0;
        return -1;
    }
    double best = 0.0;
    *id = -1, *dir = -1;
    for (size_t s = 0; s < templates.size(); ++s) {
        if (!templates[s].active) continue;
        for (int r = 0; r < kPatternRotations; ++r) {
            int32_t dot = 0;
            for (int i = 0; i < kPatternValues; ++i) dot += input[i] * templates[s].code[r][i];
            const double score = dot / templates[s].norm[r] / power;
            if (score > best) best = score, *id = static_cast<int>(s), *dir = r;
        }
    }
    *cf = best;
    return 0;
}

TEST(FastPaths, SixteenBitPatternCodesMatchLikeTheThirtyTwoBitArithmetic) {
    Random random(12);
    TempDir dir;
    resetDetector();
    std::vector<PlainTemplate> templates;
    std::vector<std::vector<int>> files;
    for (int s = 0; s < 12; ++s) {
        // Extremes as well as random bytes: all ink, all paper, two levels.
        std::vector<int> values(kPatternRotations * kPatternValues);
        for (int& v : values) v = s == 0 ? 0 : s == 1 ? 255 : s == 2 ? 255 * uniform(random, 0, 1) : uniform(random, 0, 255);
        const std::string path = dir.file("p" + std::to_string(s) + ".patt");
        FILE* file = std::fopen(path.c_str(), "w");
        ASSERT_NE(file, nullptr);
        for (int v : values) std::fprintf(file, "%4d\n", v);
        std::fclose(file);
        ASSERT_EQ(loadPatternFile(path.c_str()), s);
        const bool active = s % 5 != 4;
        if (!active) deactivatePattern(s);
        templates.push_back(plainTemplate(values, active));
        files.push_back(values);
    }
    for (int trial = 0; trial < 300; ++trial) {
        PatternCode code;
        if (trial < 24) {
            // A template's own rotation read back, and its negative: scores of +1 and -1.
            const std::vector<int>& values = files[trial % files.size()];
            for (int i = 0; i < kPatternValues; ++i) {
                const int plane = i / 256, row = i / 16 % 16, column = i % 16;
                const int v = values[(trial % 4) * kPatternValues + i];
                code.value[(row * 16 + column) * 3 + plane] = static_cast<uint8_t>(trial < 12 ? v : 255 - v);
            }
        } else {
            const int level = uniform(random, 0, 255), spread = trial % 7 == 0 ? 0 : uniform(random, 1, 255);
            for (uint8_t& b : code.value) b = static_cast<uint8_t>(std::clamp(level + uniform(random, -spread, spread), 0, 255));
        }
        int id, d, plainId, plainDir;
        double cf, plainCf;
        const int result = matchPatternCode(code, &id, &d, &cf);
        ASSERT_EQ(result, plainMatch(code, templates, &plainId, &plainDir, &plainCf)) << "trial " << trial;
        ASSERT_EQ(id, plainId) << "trial " << trial;
        ASSERT_EQ(d, plainDir) << "trial " << trial;
        ASSERT_EQ(cf, plainCf) << "trial " << trial; // bit for bit
    }
}

// The specified sampler: one sample point at a time.
int plainSample(const uint8_t* frame, int width, int height, const int xs[4], const int ys[4], PatternCode* code) {
    const double reference[4][2] = {{100, 100}, {110, 100}, {110, 110}, {100, 110}};
    double image[4][2];
    for (int k = 0; k < 4; ++k) image[k][0] = xs[k], image[k][1] = ys[k];
    double P[3][3];
    solveProjectiveParams(reference, image, P);
    auto squared = [&](int a, int b) {
        return static_cast<int>((image[a][0] - image[b][0]) * (image[a][0] - image[b][0]) +
                                (image[a][1] - image[b][1]) * (image[a][1] - image[b][1]));
    };
    const int lx = std::max(squared(0, 1), squared(2, 3)), ly = std::max(squared(1, 2), squared(3, 0));
    int nx = 16, ny = 16;
    while (nx * nx < lx / 4) nx *= 2;
    while (ny * ny < ly / 4) ny *= 2;
    nx = std::min(nx, 64), ny = std::min(ny, 64);
    const int fx = nx / 16, fy = ny / 16;
    uint32_t sum[kPatternValues] = {};
    for (int j = 0; j < ny; ++j)
        for (int i = 0; i < nx; ++i) {
            const double xw = (i + 0.5) * 5.0 * (1.0 / nx) + 102.5;
            const double yw = (j + 0.5) * 5.0 * (1.0 / ny) + 102.5;
            const double d = P[2][0] * xw + P[2][1] * yw + P[2][2];
            if (d == 0.0) return -1;
            const int xc = static_cast<int>((P[0][0] * xw + P[0][1] * yw + P[0][2]) / d);
            const int yc = static_cast<int>((P[1][0] * xw + P[1][1] * yw + P[1][2]) / d);
            if (xc < 0 || xc >= width || yc < 0 || yc >= height) continue;
            const uint8_t* p = frame + (static_cast<size_t>(yc) * width + xc) * 4;
            for (int plane = 0; plane < 3; ++plane) sum[((j / fy) * 16 + i / fx) * 3 + plane] += p[plane];
        }
    for (int i = 0; i < kPatternValues; ++i) code->value[i] = static_cast<uint8_t>(sum[i] / static_cast<uint32_t>(fx * fy));
    return 0;
}

TEST(FastPaths, RowWiseSamplingSamplesLikeOnePointAtATime) {
    Random random(13);
    const int width = 211, height = 157;
    resetDetector();
    install(width, height);
    const std::vector<uint8_t> frame = randomFrame(random, width, height, -1);
    for (int trial = 0; trial < 200; ++trial) {
        // Convex quadrilaterals of 8 to 150 px, some reaching off the frame.
        const double cx = uniform(random, -20, width + 20), cy = uniform(random, -20, height + 20);
        const double radius = uniform(random, 6, 105), turn = uniform(random, 0, 359) * 3.14159265358979 / 180;
        int xs[4], ys[4];
        for (int k = 0; k < 4; ++k) {
            const double angle = turn + k * 3.14159265358979 / 2 + uniform(random, -25, 25) * 0.01;
            const double reach = radius * uniform(random, 60, 100) / 100.0;
            xs[k] = static_cast<int>(std::lround(cx + reach * std::cos(angle)));
            ys[k] = static_cast<int>(std::lround(cy + reach * std::sin(angle)));
        }
        const int vertex[4] = {0, 1, 2, 3};
        PatternCode fast{}, plain{};
        const int result = samplePatternCode(frame.data(), xs, ys, vertex, &fast);
        ASSERT_EQ(result, plainSample(frame.data(), width, height, xs, ys, &plain)) << "trial " << trial;
        if (result != 0) continue;
        for (int i = 0; i < kPatternValues; ++i)
            ASSERT_EQ(fast.value[i], plain.value[i]) << "trial " << trial << ", value " << i;
    }
}

} // namespace
