#include "labeling.h"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "detector_state.h"

namespace {

// Marks a dark pixel of the current row until the scan labels it. No label
// is negative, so the mark can never be mistaken for one.
constexpr int16_t kUnlabelledDark = -1;

// The root of p's class. Halving keeps every entry pointing at a smaller
// label of the class, so the root found is the smallest label of the class,
// exactly what a table rewritten at every merge would hold.
inline int32_t findRoot(int32_t* equivalence, int32_t p) {
    while (equivalence[p] != p) {
        equivalence[p] = equivalence[equivalence[p]];
        p = equivalence[p];
    }
    return p;
}

// Joins the classes of a and b under the smaller root and returns that root.
inline int32_t mergeLabels(int32_t* equivalence, int32_t a, int32_t b) {
    const int32_t ra = findRoot(equivalence, a);
    const int32_t rb = findRoot(equivalence, b);
    if (ra < rb) {
        equivalence[rb] = ra;
        return ra;
    }
    equivalence[ra] = rb;
    return rb;
}

inline void addPixel(LabelWork& w, int x, int y) {
    ++w.count;
    w.sumX += x;
    w.sumY += y;
}

#if defined(__SSE2__)
// The marks of interior pixels x, x + 1, ... eight at a time while a whole
// eight fits before the last column; returns the first pixel left over. The
// compiler's own vectorisation of the plain loop spends most of its work
// taking the pixels' bytes apart; here each pixel stays one 32-bit lane and
// its channels are summed by shifts and masks.
inline void binariseEight(const uint8_t* pixels, __m128i limit, int16_t* row) {
    const __m128i byte = _mm_set1_epi32(0xff);
    const __m128i allSet = _mm_set1_epi32(-1);
    __m128i bright[2];
    for (int half = 0; half < 2; ++half) {
        const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pixels + 16 * half));
        const __m128i sum = _mm_add_epi32(_mm_add_epi32(_mm_and_si128(p, byte),
                                                        _mm_and_si128(_mm_srli_epi32(p, 8), byte)),
                                          _mm_and_si128(_mm_srli_epi32(p, 16), byte));
        bright[half] = _mm_cmpgt_epi32(sum, limit);
    }
    // Saturating packs keep the all-ones and all-zeros lanes as they are.
    const __m128i marks = _mm_xor_si128(_mm_packs_epi32(bright[0], bright[1]), allSet);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(row), marks);
}

int binariseEights(const uint8_t* pixels, int width, int darkLimit, int16_t* row) {
    const __m128i limit = _mm_set1_epi32(darkLimit);
    int x = 1;
    for (; x + 8 <= width - 1; x += 8) binariseEight(pixels + 4 * x, limit, row + x);
    return x;
}
#endif

// Writes kUnlabelledDark for each dark interior pixel of the row and 0 for
// the rest, the two frame columns included.
void binariseRow(const uint8_t* pixels, int width, int darkLimit, int16_t* row) {
    row[0] = 0;
    int x = 1;
#if defined(__SSE2__)
    x = binariseEights(pixels, width, darkLimit, row);
#endif
    for (; x < width - 1; ++x) {
        const uint8_t* p = pixels + 4 * x;
        const int sum = p[0] + p[1] + p[2];
        row[x] = sum <= darkLimit ? kUnlabelledDark : 0;
    }
    row[width - 1] = 0;
}

// -- The automatic threshold. The frame is cut into tiles of kTile x kTile
// pixels; a pixel is dark when its channel sum lies clearly below the mean of
// the (2 kTileReach + 1)^2 tiles around its own. A marker on paper darker
// than the fixed threshold, or half in shadow, is still darker than its
// surround, and a flat area of any brightness is never dark. Where a black
// border is wider than the neighbourhood its middle reads light; the outer
// contour, all the square extraction follows, stays whole.
constexpr int kTile = 8;
constexpr int kTileReach = 2;
// Dark means at least this far below the local mean, in channel sums: a
// fixed part against sensor noise plus a share of the mean, since noise and
// print contrast both grow with the light.
constexpr int kLocalOffset = 3 * 6;
constexpr int kLocalShareOf256 = 51;

inline uint32_t channelSum(const uint8_t* p) { return p[0] + p[1] + p[2]; }

// The light is sampled, not summed whole: every other row, and in it four
// of each tile's eight pixels, the left four and the right four in turn.
// A sixteenth of the pixels per tile, four hundred per neighbourhood, keeps
// the mean steady at a quarter of a full pass's cost.
constexpr int kSampledPerTileRow = kTile / 2;

// Sampled rows of tile row ty, and sampled pixels per sampled row of tile
// column tx (a narrower last column is sampled whole).
inline int sampledRows(int ty, int height) { return (std::min(height, (ty + 1) * kTile) - ty * kTile + 1) / 2; }
inline int sampledColumns(int tx, int width) {
    return tx < width / kTile ? kSampledPerTileRow : width - (width / kTile) * kTile;
}

// Channel sums of each tile's samples.
void sumTiles(const uint8_t* frame, int width, int height, int tilesX, uint32_t* sums) {
    std::fill(sums, sums + static_cast<std::size_t>(tilesX) * ((height + kTile - 1) / kTile), 0u);
    const int wholeTiles = width / kTile;
    for (int y = 0; y < height; y += 2) {
        const uint8_t* pixels = frame + static_cast<std::size_t>(y) * width * 4;
        uint32_t* tiles = sums + static_cast<std::size_t>(y / kTile) * tilesX;
        const int half = (y / 2) % 2 * kSampledPerTileRow;
        int tx = 0;
#if defined(__SSE2__)
        const __m128i colour = _mm_set1_epi32(0x00ffffff);
        for (; tx < wholeTiles; ++tx) {
            const uint8_t* p = pixels + 4 * (kTile * tx + half);
            const __m128i four = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), colour);
            const __m128i s = _mm_sad_epu8(four, _mm_setzero_si128());
            tiles[tx] += static_cast<uint32_t>(_mm_cvtsi128_si32(s) + _mm_cvtsi128_si32(_mm_srli_si128(s, 8)));
        }
#endif
        for (; tx < wholeTiles; ++tx)
            for (int x = kTile * tx + half; x < kTile * tx + half + kSampledPerTileRow; ++x)
                tiles[tx] += channelSum(pixels + 4 * x);
        for (int x = wholeTiles * kTile; x < width; ++x) tiles[wholeTiles] += channelSum(pixels + 4 * x);
    }
}

// Each tile's dark limit from the mean of its neighbourhood of tiles,
// clipped at the frame's edges: a box sum across each row of tiles into
// `across`, then down the columns, each a sliding window.
void localLimits(const uint32_t* sums, int width, int height, int tilesX, int tilesY, uint32_t* across,
                 int32_t* limits) {
    for (int ty = 0; ty < tilesY; ++ty) {
        const uint32_t* in = sums + static_cast<std::size_t>(ty) * tilesX;
        uint32_t* out = across + static_cast<std::size_t>(ty) * tilesX;
        uint32_t window = 0;
        for (int x = 0; x < std::min(tilesX, kTileReach); ++x) window += in[x];
        for (int tx = 0; tx < tilesX; ++tx) {
            if (tx + kTileReach < tilesX) window += in[tx + kTileReach];
            if (tx - kTileReach - 1 >= 0) window -= in[tx - kTileReach - 1];
            out[tx] = window;
        }
    }
    for (int tx = 0; tx < tilesX; ++tx) {
        const int x0 = std::max(0, tx - kTileReach), x1 = std::min(tilesX - 1, tx + kTileReach);
        int samples = 0;
        for (int x = x0; x <= x1; ++x) samples += sampledColumns(x, width);
        int rows = 0;
        for (int y = 0; y < std::min(tilesY, kTileReach); ++y) rows += sampledRows(y, height);
        // At most 25 tiles of 28 samples of 765: 32 bits hold every total.
        uint32_t window = 0;
        for (int y = 0; y < std::min(tilesY, kTileReach); ++y) window += across[static_cast<std::size_t>(y) * tilesX + tx];
        for (int ty = 0; ty < tilesY; ++ty) {
            if (ty + kTileReach < tilesY) {
                window += across[static_cast<std::size_t>(ty + kTileReach) * tilesX + tx];
                rows += sampledRows(ty + kTileReach, height);
            }
            if (ty - kTileReach - 1 >= 0) {
                window -= across[static_cast<std::size_t>(ty - kTileReach - 1) * tilesX + tx];
                rows -= sampledRows(ty - kTileReach - 1, height);
            }
            const int mean = static_cast<int>(window / static_cast<uint32_t>(rows * samples));
            limits[static_cast<std::size_t>(ty) * tilesX + tx] = mean - kLocalOffset - mean * kLocalShareOf256 / 256;
        }
    }
}

// binariseRow with a limit per tile column.
void binariseRowLocal(const uint8_t* pixels, int width, const int32_t* limits, int16_t* row) {
    row[0] = 0;
    int x = 1;
#if defined(__SSE2__)
    for (; x < kTile && x < width - 1; ++x)
        row[x] = static_cast<int>(channelSum(pixels + 4 * x)) <= limits[0] ? kUnlabelledDark : 0;
    for (; x + kTile <= width - 1; x += kTile)
        binariseEight(pixels + 4 * x, _mm_set1_epi32(limits[x / kTile]), row + x);
#endif
    for (; x < width - 1; ++x)
        row[x] = static_cast<int>(channelSum(pixels + 4 * x)) <= limits[x / kTile] ? kUnlabelledDark : 0;
    row[width - 1] = 0;
}

// Index of the first marked pixel at or after x; bright stretches are
// skipped four labels at a time.
inline int nextDark(const int16_t* row, int x, int end) {
    while (x + 4 <= end) {
        uint64_t four;
        std::memcpy(&four, row + x, sizeof four);
        if (four != 0) break;
        x += 4;
    }
    while (x < end && row[x] == 0) ++x;
    return x;
}

// Labels the marked pixels of row y from the finished row above. Returns
// the number of provisional labels issued so far, or -1 past the limit.
int labelRow(LabelStorage& st, const int16_t* above, int16_t* row, int width, int y, int issued) {
    int32_t* equivalence = st.equivalence;
    LabelWork* work = st.work;
    const int end = width - 1;
    for (int x = nextDark(row, 1, end); x < end; x = nextDark(row, x + 1, end)) {
        const int16_t up = above[x];
        if (up > 0) {
            // Inside a region most pixels copy the same label from above:
            // take the whole stretch at once, its statistics summed in closed
            // form instead of through one store per pixel.
            int last = x;
            row[x] = up;
            while (row[last + 1] == kUnlabelledDark && above[last + 1] == up) row[++last] = up;
            const int64_t n = last - x + 1;
            LabelWork& w = work[up];
            w.count += static_cast<int32_t>(n);
            w.sumX += (static_cast<int64_t>(x) + last) * n / 2;
            w.sumY += static_cast<int64_t>(y) * n;
            w.maxY = y;
            x = last;
            continue;
        }
        const int16_t upRight = above[x + 1];
        const int16_t upLeft = above[x - 1];
        const int16_t left = row[x - 1];
        if (upRight > 0) {
            if (upLeft > 0) {
                const int32_t root = mergeLabels(equivalence, upRight, upLeft);
                row[x] = static_cast<int16_t>(root);
                addPixel(work[root], x, y);
                work[root].maxY = y;
            } else if (left > 0) {
                const int32_t root = mergeLabels(equivalence, upRight, left);
                row[x] = static_cast<int16_t>(root);
                addPixel(work[root], x, y);
            } else {
                row[x] = upRight;
                LabelWork& w = work[upRight];
                addPixel(w, x, y);
                if (x < w.minX) w.minX = x;
                w.maxY = y;
            }
        } else if (upLeft > 0) {
            row[x] = upLeft;
            LabelWork& w = work[upLeft];
            addPixel(w, x, y);
            if (x > w.maxX) w.maxX = x;
            w.maxY = y;
        } else if (left > 0) {
            row[x] = left;
            LabelWork& w = work[left];
            addPixel(w, x, y);
            if (x > w.maxX) w.maxX = x;
        } else {
            if (issued == kMaxProvisionalLabels) return -1;
            const int p = ++issued;
            row[x] = static_cast<int16_t>(p);
            equivalence[p] = p;
            work[p] = LabelWork{1, x, x, y, y, x, y};
        }
    }
    return issued;
}

// Roots become 1, 2, ... in increasing order; every other label takes its
// root's number, already assigned because the root is smaller.
int renumber(int32_t* equivalence, int issued) {
    int next = 1;
    for (int p = 1; p <= issued; ++p) {
        if (equivalence[p] == p) {
            equivalence[p] = next++;
        } else {
            equivalence[p] = equivalence[equivalence[p]];
        }
    }
    return next - 1;
}

// The centroid table holds the coordinate sums until the final division.
void collectRegionStatistics(LabelStorage& st, int issued, int regions, int width, int height) {
    double* sums = st.centroid;
    for (int f = 0; f < regions; ++f) {
        st.area[f] = 0;
        sums[2 * f] = 0.0;
        sums[2 * f + 1] = 0.0;
        int32_t* box = st.clipBox + 4 * f;
        box[0] = width;
        box[1] = 0;
        box[2] = height;
        box[3] = 0;
    }
    for (int p = 1; p <= issued; ++p) {
        const LabelWork& w = st.work[p];
        const int f = st.equivalence[p] - 1;
        st.area[f] += w.count;
        sums[2 * f] += static_cast<double>(w.sumX);
        sums[2 * f + 1] += static_cast<double>(w.sumY);
        int32_t* box = st.clipBox + 4 * f;
        if (w.minX < box[0]) box[0] = w.minX;
        if (w.maxX > box[1]) box[1] = w.maxX;
        if (w.minY < box[2]) box[2] = w.minY;
        if (w.maxY > box[3]) box[3] = w.maxY;
    }
    for (int f = 0; f < regions; ++f) {
        sums[2 * f] = sums[2 * f] / st.area[f];
        sums[2 * f + 1] = sums[2 * f + 1] / st.area[f];
    }
}

// The tile limits of the frame, in storage kept from frame to frame.
const int32_t* localTileLimits(LabelStorage& st, const uint8_t* frame, int width, int height) {
    const int tilesX = (width + kTile - 1) / kTile;
    const int tilesY = (height + kTile - 1) / kTile;
    const std::size_t tiles = static_cast<std::size_t>(tilesX) * tilesY;
    if (st.tileSums.size() != tiles) {
        st.tileSums.assign(tiles, 0);
        st.tileAcross.assign(tiles, 0);
        st.tileLimits.assign(tiles, 0);
    }
    sumTiles(frame, width, height, tilesX, st.tileSums.data());
    localLimits(st.tileSums.data(), width, height, tilesX, tilesY, st.tileAcross.data(), st.tileLimits.data());
    return st.tileLimits.data();
}

} // namespace

const LabelImage* labelDarkRegions(const uint8_t* frame, int threshold) {
    DetectorState& state = detectorState();
    LabelStorage& st = state.label;
    const int width = state.camera.xsize;
    const int height = state.camera.ysize;
    int16_t* labels = st.labels.data();
    st.result = LabelImage{};

    // The frame rows are never labelled, so no region touches the edge.
    if (width < 3 || height < 3) {
        std::fill(st.labels.begin(), st.labels.end(), int16_t{0});
    } else {
        std::memset(labels, 0, sizeof(int16_t) * width);
        std::memset(labels + static_cast<std::size_t>(height - 1) * width, 0, sizeof(int16_t) * width);
    }

    const int darkLimit = 3 * threshold;
    const int32_t* tileLimits = state.options.autoThreshold ? localTileLimits(st, frame, width, height) : nullptr;
    const int tilesX = (width + kTile - 1) / kTile;
    int issued = 0;
    for (int y = 1; y < height - 1; ++y) {
        int16_t* row = labels + static_cast<std::size_t>(y) * width;
        const uint8_t* pixels = frame + static_cast<std::size_t>(y) * width * 4;
        if (tileLimits)
            binariseRowLocal(pixels, width, tileLimits + static_cast<std::size_t>(y / kTile) * tilesX, row);
        else
            binariseRow(pixels, width, darkLimit, row);
        issued = labelRow(st, row - width, row, width, y, issued);
        if (issued < 0) return nullptr;
    }

    const int regions = renumber(st.equivalence, issued);
    if (regions > 0) collectRegionStatistics(st, issued, regions, width, height);

    LabelImage& result = st.result;
    result.labels = labels;
    result.width = width;
    result.height = height;
    result.labelCount = regions;
    result.area = st.area;
    result.centroid = st.centroid;
    result.clipBox = st.clipBox;
    result.labelMap = st.equivalence + 1;
    return &result;
}
