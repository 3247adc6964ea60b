#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "camera_param.h"
#include "detector_state.h"
#include "labeling.h"

namespace {

constexpr int kThreshold = 100;

struct Frame {
    int width;
    int height;
    std::vector<uint8_t> bgra;

    Frame(int w, int h, uint8_t grey = 200) : width(w), height(h), bgra(static_cast<size_t>(w) * h * 4, grey) {}
    void set(int x, int y, uint8_t b, uint8_t g, uint8_t r) {
        uint8_t* p = &bgra[(static_cast<size_t>(y) * width + x) * 4];
        p[0] = b;
        p[1] = g;
        p[2] = r;
        p[3] = 255;
    }
    void dark(int x, int y) { set(x, y, 20, 30, 40); }
    void fill(int x0, int y0, int x1, int y1) {
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) dark(x, y);
    }
    bool isDark(int x, int y) const {
        const uint8_t* p = &bgra[(static_cast<size_t>(y) * width + x) * 4];
        return p[0] + p[1] + p[2] <= 3 * kThreshold;
    }
};

void install(int width, int height) {
    CameraParam param;
    param.xsize = width;
    param.ysize = height;
    ASSERT_EQ(0, setWorkingCameraParam(param));
}

const LabelImage* label(const Frame& frame) {
    install(frame.width, frame.height);
    return labelDarkRegions(frame.bgra.data(), kThreshold);
}

// Random clutter: salt-and-pepper noise of a given density over rectangles,
// so that both long merges and many tiny regions occur.
Frame randomFrame(int width, int height, double density, std::mt19937& rng) {
    Frame frame(width, height);
    std::uniform_int_distribution<int> channel(0, 255);
    std::bernoulli_distribution darkPixel(density);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            if (darkPixel(rng)) {
                frame.set(x, y, channel(rng) % 90, channel(rng) % 90, channel(rng) % 120);
            } else {
                frame.set(x, y, 100 + channel(rng) % 156, 100 + channel(rng) % 156, channel(rng));
            }
        }
    std::uniform_int_distribution<int> px(0, width - 1), py(0, height - 1);
    for (int i = 0; i < 6; ++i) {
        const int x0 = px(rng), y0 = py(rng);
        frame.fill(x0, y0, std::min(width - 1, x0 + px(rng) / 3), std::min(height - 1, y0 + py(rng) / 3));
    }
    return frame;
}

// 8-connected regions of the interior, numbered in raster order of their
// first pixel.
struct FloodFill {
    std::vector<int> region;
    int count = 0;
    std::vector<int> area;
    std::vector<int64_t> sumX, sumY;
    std::vector<int> minX, maxX, minY, maxY;

    explicit FloodFill(const Frame& f) : region(static_cast<size_t>(f.width) * f.height, 0) {
        std::vector<std::pair<int, int>> stack;
        for (int y = 1; y < f.height - 1; ++y)
            for (int x = 1; x < f.width - 1; ++x) {
                if (!f.isDark(x, y) || region[index(f, x, y)] != 0) continue;
                ++count;
                area.push_back(0);
                sumX.push_back(0);
                sumY.push_back(0);
                minX.push_back(x);
                maxX.push_back(x);
                minY.push_back(y);
                maxY.push_back(y);
                region[index(f, x, y)] = count;
                stack.push_back({x, y});
                while (!stack.empty()) {
                    const auto [cx, cy] = stack.back();
                    stack.pop_back();
                    const int r = count - 1;
                    ++area[r];
                    sumX[r] += cx;
                    sumY[r] += cy;
                    minX[r] = std::min(minX[r], cx);
                    maxX[r] = std::max(maxX[r], cx);
                    minY[r] = std::min(minY[r], cy);
                    maxY[r] = std::max(maxY[r], cy);
                    for (int dy = -1; dy <= 1; ++dy)
                        for (int dx = -1; dx <= 1; ++dx) {
                            const int nx = cx + dx, ny = cy + dy;
                            if (nx < 1 || ny < 1 || nx > f.width - 2 || ny > f.height - 2) continue;
                            if (!f.isDark(nx, ny) || region[index(f, nx, ny)] != 0) continue;
                            region[index(f, nx, ny)] = count;
                            stack.push_back({nx, ny});
                        }
                }
            }
    }
    static size_t index(const Frame& f, int x, int y) { return static_cast<size_t>(y) * f.width + x; }
};

int finalLabelAt(const LabelImage& image, int x, int y) {
    const int p = image.labels[static_cast<size_t>(y) * image.width + x];
    return p > 0 ? image.labelMap[p - 1] : 0;
}

class Labeling : public ::testing::Test {
protected:
    void SetUp() override { resetDetector(); }
    void TearDown() override { resetDetector(); }
};

} // namespace

// Frames from the smallest with an interior up, and clutter from sparse to
// nearly solid, so that long merge chains and many tiny regions both occur.
TEST_F(Labeling, RegionsAreTheEightConnectedComponents) {
    std::mt19937 rng(99);
    int frames = 0;
    for (const auto& [w, h] : std::vector<std::pair<int, int>>{{3, 3}, {7, 5}, {64, 48}, {211, 97}, {320, 240}}) {
        for (double density : {0.1, 0.2, 0.35, 0.45, 0.5, 0.6, 0.65, 0.8, 0.9}) {
            const Frame frame = randomFrame(w, h, density, rng);
            SCOPED_TRACE(testing::Message() << w << "x" << h << " density " << density);
            ++frames;
            const FloodFill flood(frame);
            const LabelImage* image = label(frame);
            ASSERT_NE(nullptr, image);
            ASSERT_EQ(flood.count, image->labelCount);
            for (int y = 0; y < frame.height; ++y)
                for (int x = 0; x < frame.width; ++x)
                    ASSERT_EQ(flood.region[FloodFill::index(frame, x, y)], finalLabelAt(*image, x, y)) << x << "," << y;
            for (int r = 0; r < flood.count; ++r) {
                EXPECT_EQ(flood.area[r], image->area[r]);
                EXPECT_DOUBLE_EQ(static_cast<double>(flood.sumX[r]) / flood.area[r], image->centroid[2 * r]);
                EXPECT_DOUBLE_EQ(static_cast<double>(flood.sumY[r]) / flood.area[r], image->centroid[2 * r + 1]);
                EXPECT_EQ(flood.minX[r], image->clipBox[4 * r]);
                EXPECT_EQ(flood.maxX[r], image->clipBox[4 * r + 1]);
                EXPECT_EQ(flood.minY[r], image->clipBox[4 * r + 2]);
                EXPECT_EQ(flood.maxY[r], image->clipBox[4 * r + 3]);
            }
        }
    }
    EXPECT_EQ(45, frames);
}

TEST_F(Labeling, BrightFrameHasNoRegion) {
    const LabelImage* image = label(Frame(40, 30));
    ASSERT_NE(nullptr, image);
    EXPECT_EQ(0, image->labelCount);
    for (int i = 0; i < 40 * 30; ++i) ASSERT_EQ(0, image->labels[i]);
}

TEST_F(Labeling, FrameBorderIsBackground) {
    Frame frame(20, 10);
    frame.fill(0, 0, 19, 9);
    const LabelImage* image = label(frame);
    ASSERT_NE(nullptr, image);
    ASSERT_EQ(1, image->labelCount);
    EXPECT_EQ(18 * 8, image->area[0]);
    const int box[4] = {1, 18, 1, 8};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(box[i], image->clipBox[i]);
    for (int x = 0; x < 20; ++x) {
        EXPECT_EQ(0, image->labels[x]);
        EXPECT_EQ(0, image->labels[9 * 20 + x]);
    }
    for (int y = 0; y < 10; ++y) {
        EXPECT_EQ(0, image->labels[y * 20]);
        EXPECT_EQ(0, image->labels[y * 20 + 19]);
    }
}

TEST_F(Labeling, BorderIsClearedEvenWhenTheLastFrameLeftLabelsThere) {
    Frame dark(12, 12);
    dark.fill(0, 0, 11, 11);
    ASSERT_NE(nullptr, label(dark));
    DetectorState& state = detectorState();
    std::fill(state.label.labels.begin(), state.label.labels.end(), int16_t{7});
    const LabelImage* image = labelDarkRegions(Frame(12, 12).bgra.data(), kThreshold);
    ASSERT_NE(nullptr, image);
    EXPECT_EQ(0, image->labelCount);
    for (int i = 0; i < 144; ++i) ASSERT_EQ(0, image->labels[i]) << i;
}

TEST_F(Labeling, ArmsOfAUMeetingAtTheBottomBecomeOneRegion) {
    Frame frame(12, 10);
    frame.fill(2, 1, 3, 7); // left arm, label 1
    frame.fill(8, 1, 9, 7); // right arm, label 2
    frame.fill(2, 8, 9, 8); // the bottom joining them
    const LabelImage* image = label(frame);
    ASSERT_NE(nullptr, image);
    ASSERT_EQ(1, image->labelCount);
    EXPECT_EQ(7 * 2 * 2 + 8, image->area[0]);
    EXPECT_EQ(1, image->labelMap[0]);
    EXPECT_EQ(1, image->labelMap[1]);
    // (7, 8) sees the right arm above-right and label 1 on its left: the
    // merge writes the smaller root. (8, 8) copies the 2 above it unchanged.
    const int16_t* bottom = image->labels + 8 * 12;
    EXPECT_EQ(1, bottom[2]);
    EXPECT_EQ(1, bottom[7]);
    EXPECT_EQ(2, bottom[8]);
    const int box[4] = {2, 9, 1, 8};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(box[i], image->clipBox[i]);
}

TEST_F(Labeling, MergeWritesTheSmallerRootIntoTheLabelImage) {
    // A V: two arms meet where a pixel sees one arm above-left and the other
    // above-right with nothing straight above.
    Frame frame(9, 6);
    frame.dark(2, 1);
    frame.dark(6, 1);
    frame.dark(3, 2);
    frame.dark(5, 2);
    frame.dark(4, 3);
    const LabelImage* image = label(frame);
    ASSERT_NE(nullptr, image);
    EXPECT_EQ(1, image->labelCount);
    EXPECT_EQ(1, image->labels[3 * 9 + 4]);
    EXPECT_EQ(2, image->labels[2 * 9 + 5]);
    EXPECT_DOUBLE_EQ(4.0, image->centroid[0]);
    EXPECT_DOUBLE_EQ(1.8, image->centroid[1]);
}

TEST_F(Labeling, BlocksTouchingAtACornerAreOneRegion) {
    Frame frame(10, 10);
    frame.fill(1, 1, 3, 3);
    frame.fill(4, 4, 6, 6);
    frame.fill(7, 1, 8, 2); // a third block two pixels away stays apart
    const LabelImage* image = label(frame);
    ASSERT_NE(nullptr, image);
    ASSERT_EQ(2, image->labelCount);
    EXPECT_EQ(18, image->area[0]);
    EXPECT_EQ(4, image->area[1]);
}

TEST_F(Labeling, ChannelSumAtThreeTimesThresholdIsDark) {
    Frame frame(7, 3);
    frame.set(2, 1, 100, 100, 100);
    frame.set(4, 1, 100, 100, 101);
    const LabelImage* image = label(frame);
    ASSERT_NE(nullptr, image);
    ASSERT_EQ(1, image->labelCount);
    EXPECT_NE(0, image->labels[7 + 2]);
    EXPECT_EQ(0, image->labels[7 + 4]);
    // Byte 3 plays no part.
    Frame alpha(7, 3);
    alpha.set(2, 1, 100, 100, 101);
    alpha.bgra[(7 + 2) * 4 + 3] = 0;
    EXPECT_EQ(0, label(alpha)->labelCount);
}

TEST_F(Labeling, SinglePixelRegionBoxAndCentroid) {
    Frame frame(30, 20);
    frame.dark(17, 11);
    const LabelImage* image = label(frame);
    ASSERT_NE(nullptr, image);
    ASSERT_EQ(1, image->labelCount);
    EXPECT_EQ(1, image->area[0]);
    EXPECT_EQ(17.0, image->centroid[0]);
    EXPECT_EQ(11.0, image->centroid[1]);
    const int box[4] = {17, 17, 11, 11};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(box[i], image->clipBox[i]);
}

TEST_F(Labeling, ProvisionalLabelLimitIs32767) {
    // Isolated dark pixels on every other column and row, one label each.
    auto dotted = [](int width, int height, int dots) {
        Frame frame(width, height);
        int placed = 0;
        for (int y = 1; y < height - 1 && placed < dots; y += 2)
            for (int x = 1; x < width - 1 && placed < dots; x += 2, ++placed) frame.dark(x, y);
        return frame;
    };
    const Frame atLimit = dotted(400, 400, 32767);
    const LabelImage* image = label(atLimit);
    ASSERT_NE(nullptr, image);
    EXPECT_EQ(32767, image->labelCount);
    EXPECT_EQ(32767, image->labelMap[32766]);

    const Frame overLimit = dotted(400, 400, 32768);
    EXPECT_EQ(nullptr, labelDarkRegions(overLimit.bgra.data(), kThreshold));
    EXPECT_EQ(0, detectorState().label.result.labelCount);

    // The failure leaves nothing behind for the next frame.
    Frame next(400, 400);
    next.fill(10, 10, 20, 20);
    image = labelDarkRegions(next.bgra.data(), kThreshold);
    ASSERT_NE(nullptr, image);
    EXPECT_EQ(1, image->labelCount);
    EXPECT_EQ(121, image->area[0]);
}

TEST_F(Labeling, LargeDarkFrameKeepsExactCentroid) {
    // One region over a whole 4096 x 3072 frame: its coordinate sums pass 2^31.
    Frame frame(4096, 3072, 0);
    const LabelImage* image = label(frame);
    ASSERT_NE(nullptr, image);
    ASSERT_EQ(1, image->labelCount);
    EXPECT_EQ(4094 * 3070, image->area[0]);
    EXPECT_DOUBLE_EQ(2047.5, image->centroid[0]);
    EXPECT_DOUBLE_EQ(1535.5, image->centroid[1]);
    const int box[4] = {1, 4094, 1, 3070};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(box[i], image->clipBox[i]);
}

TEST_F(Labeling, NothingInstalledGivesAnEmptyResult) {
    const uint8_t pixel[4] = {0, 0, 0, 0};
    const LabelImage* image = labelDarkRegions(pixel, kThreshold);
    ASSERT_NE(nullptr, image);
    EXPECT_EQ(0, image->labelCount);
}
