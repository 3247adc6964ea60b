#include "pattern.h"
#include <algorithm>
#include <cmath>
#include <cstdio>
#include "bilinear.h"
#include "camera_param.h"
#include "detector_state.h"
#include "identity_check.h"
#include "matrix.h"
#include "pattern_file.h"

namespace {

constexpr double kZeroNormStandIn = 1e-7;

PatternTable& table() { return detectorState().patterns; }

// Removes the integer mean and returns the norm. The sums stay in 32 bits:
// 768 squares of at most 255^2 fit.
double centreAndNorm(int16_t code[kPatternValues]) {
    int32_t sum = 0;
    for (int i = 0; i < kPatternValues; ++i) sum += code[i];
    const int32_t mean = sum / kPatternValues;
    int32_t squares = 0;
    for (int i = 0; i < kPatternValues; ++i) {
        code[i] = static_cast<int16_t>(code[i] - mean);
        squares += code[i] * code[i];
    }
    const double norm = std::sqrt(static_cast<double>(squares));
    return norm == 0.0 ? kZeroNormStandIn : norm;
}

constexpr int kMaxSamples = 64;

// Below this spread of its values (grey levels) a pattern is noise on a
// plain square: it would match anything dark, so it is never matched.
constexpr double kFlatPatternSpread = 4.0;

// A pattern without contrast still takes its slot, so ids stay those of the
// catalogue's rows, but scores 0 against everything.
void refuseFlatPattern(const char* path, PatternTemplate& loaded) {
    for (int r = 0; r < kPatternRotations; ++r)
        if (loaded.norm[r] / std::sqrt(static_cast<double>(kPatternValues)) >= kFlatPatternSpread) return;
    printf("\"%s\" has no contrast inside its border; it is loaded but never matched.\n", path);
    for (int r = 0; r < kPatternRotations; ++r) {
        std::fill(loaded.code[r], loaded.code[r] + kPatternValues, int16_t{0});
        loaded.norm[r] = kZeroNormStandIn;
    }
}

// Sample density along one pair of opposite edges: doubles with the longer
// edge so that every cell gets about one sample per pixel, up to 64.
int sampleCount(int squaredLength) {
    int n = kPatternSide;
    while (n * n < squaredLength / 4) n *= 2;
    return n > kMaxSamples ? kMaxSamples : n;
}

// Frame pixels of one row of sample points (xw[i], yw) through P, the pixel
// being the truncated quotient. False when a point lies on the vanishing
// line (zero denominator). The denominators come first so that the loop of
// divisions has no branch and vectorises.
bool projectSampleRow(const double P[3][3], const double* xw, double yw, int n, int* xs, int* ys) {
    double d[kMaxSamples];
    for (int i = 0; i < n; ++i) d[i] = P[2][0] * xw[i] + P[2][1] * yw + P[2][2];
    for (int i = 0; i < n; ++i)
        if (d[i] == 0.0) return false;
    for (int i = 0; i < n; ++i) {
        xs[i] = static_cast<int>((P[0][0] * xw[i] + P[0][1] * yw + P[0][2]) / d[i]);
        ys[i] = static_cast<int>((P[1][0] * xw[i] + P[1][1] * yw + P[1][2]) / d[i]);
    }
    return true;
}

int squaredDistance(int x0, int y0, int x1, int y1) {
    return (x0 - x1) * (x0 - x1) + (y0 - y1) * (y0 - y1);
}

} // namespace

int loadPatternFile(const char* path) {
    PatternTable& patterns = table();
    int id = 0;
    while (id < kPatternSlots && patterns.slot[id].state != Free) ++id;
    if (id == kPatternSlots) return -1;

    PatternCode stored[kPatternRotations];
    const PatternFileRead read = readPatternFile(path, stored);
    if (read == PatternFileRead::CannotOpen) {
        printf("\"%s\" not found!!\n", path);
        return -1;
    }
    if (read == PatternFileRead::BadData) {
        printf("Pattern Data read error!!\n");
        return -1;
    }
    // Built in scratch so that the slot is only taken by a whole pattern.
    PatternTemplate loaded;
    for (int r = 0; r < kPatternRotations; ++r) {
        // Inverted, so that ink counts high.
        for (int i = 0; i < kPatternValues; ++i) loaded.code[r][i] = static_cast<int16_t>(255 - stored[r].value[i]);
        loaded.norm[r] = centreAndNorm(loaded.code[r]);
    }
    refuseFlatPattern(path, loaded);

    loaded.state = Active;
    patterns.slot[id] = loaded;
    ++patterns.count;
    return id;
}

// Callers pass catalogue rows, which may outnumber the slots: an id outside
// the table is treated like a Free slot rather than written past it.
static bool outsideTable(int id) { return id < 0 || id >= kPatternSlots; }

int freePattern(int id) {
    if (outsideTable(id)) return -1;
    PatternTable& patterns = table();
    if (patterns.slot[id].state == Free) return -1;
    patterns.slot[id].state = Free;
    --patterns.count;
    return 1;
}

int activatePattern(int id) {
    if (outsideTable(id)) return -1;
    PatternTemplate& slot = table().slot[id];
    if (slot.state == Free) return -1;
    slot.state = Active;
    return 1;
}

int deactivatePattern(int id) {
    if (outsideTable(id)) return -1;
    PatternTemplate& slot = table().slot[id];
    if (slot.state == Free) return -1;
    slot.state = Inactive;
    return 1;
}

void solveProjectiveParams(const double reference[4][2], const double image[4][2], double P[3][3]) {
    Matrix* a = allocMatrix(8, 8);
    Matrix* b = allocMatrix(8, 1);
    Matrix* c = allocMatrix(8, 1);
    for (int k = 0; k < 4; ++k) {
        const double X = reference[k][0], Y = reference[k][1];
        const double u = image[k][0], v = image[k][1];
        const double rowU[8] = {X, Y, 1, 0, 0, 0, -X * u, -Y * u};
        const double rowV[8] = {0, 0, 0, X, Y, 1, -X * v, -Y * v};
        for (int j = 0; j < 8; ++j) {
            at(a, 2 * k, j) = rowU[j];
            at(a, 2 * k + 1, j) = rowV[j];
        }
        at(b, 2 * k, 0) = u;
        at(b, 2 * k + 1, 0) = v;
    }
    // A degenerate quadrilateral is not caught here: the sampler bounds-checks
    // every sample, so whatever the inversion leaves stays harmless.
    invertMatrixInPlace(a);
    multiplyMatrix(c, a, b);
    for (int i = 0; i < 8; ++i) P[i / 3][i % 3] = c->m[i];
    P[2][2] = 1.0;
    freeMatrix(a);
    freeMatrix(b);
    freeMatrix(c);
}

int samplePatternCode(const uint8_t* frame, const int* xCoord, const int* yCoord, const int vertex[4],
                      PatternCode* code) {
    const int width = detectorState().camera.xsize;
    const int height = detectorState().camera.ysize;

    // The marker square as 100..110; its pattern is the inner half, 102.5..107.5.
    const double reference[4][2] = {{100.0, 100.0}, {110.0, 100.0}, {110.0, 110.0}, {100.0, 110.0}};
    double image[4][2];
    int qx[4], qy[4];
    for (int k = 0; k < 4; ++k) {
        qx[k] = xCoord[vertex[k]];
        qy[k] = yCoord[vertex[k]];
        image[k][0] = qx[k];
        image[k][1] = qy[k];
    }
    double P[3][3];
    solveProjectiveParams(reference, image, P);

    const int lx1 = squaredDistance(qx[0], qy[0], qx[1], qy[1]);
    const int lx2 = squaredDistance(qx[2], qy[2], qx[3], qy[3]);
    const int ly1 = squaredDistance(qx[1], qy[1], qx[2], qy[2]);
    const int ly2 = squaredDistance(qx[3], qy[3], qx[0], qy[0]);
    const int nx = sampleCount(lx1 > lx2 ? lx1 : lx2);
    const int ny = sampleCount(ly1 > ly2 ? ly1 : ly2);
    const int fx = nx / kPatternSide;
    const int fy = ny / kPatternSide;

    double xw[kMaxSamples];
    for (int i = 0; i < nx; ++i) xw[i] = (i + 0.5) * 5.0 * (1.0 / nx) + 102.5;
    // Offsets of each sample column's cell: one division per column, not per sample.
    int cellOffset[kMaxSamples];
    for (int i = 0; i < nx; ++i) cellOffset[i] = (i / fx) * kPatternPlanes;
    int xs[kMaxSamples], ys[kMaxSamples];
    uint32_t sum[kPatternValues] = {};
    for (int j = 0; j < ny; ++j) {
        const double yw = (j + 0.5) * 5.0 * (1.0 / ny) + 102.5;
        if (!projectSampleRow(P, xw, yw, nx, xs, ys)) return -1;
        uint32_t* cells = sum + (j / fy) * kPatternSide * kPatternPlanes;
        for (int i = 0; i < nx; ++i) {
            // Unsigned comparisons also reject negative coordinates.
            if (static_cast<unsigned>(xs[i]) >= static_cast<unsigned>(width) ||
                static_cast<unsigned>(ys[i]) >= static_cast<unsigned>(height))
                continue;
            const uint8_t* pixel = frame + (static_cast<size_t>(ys[i]) * width + xs[i]) * 4;
            uint32_t* cell = cells + cellOffset[i];
            cell[0] += pixel[0];
            cell[1] += pixel[1];
            cell[2] += pixel[2];
        }
    }
    // The nominal count, also where samples fell outside: such cells read darker.
    const uint32_t perCell = static_cast<uint32_t>(fx * fy);
    for (int i = 0; i < kPatternValues; ++i) code->value[i] = static_cast<uint8_t>(sum[i] / perCell);
    return 0;
}

namespace {

double squaredLength(const double a[2], const double b[2]) {
    return (a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]);
}

} // namespace

int samplePatternCodeAt(const uint8_t* frame, const double quad[4][2], PatternCode* code) {
    const int width = detectorState().camera.xsize;
    const int height = detectorState().camera.ysize;
    const double reference[4][2] = {{100.0, 100.0}, {110.0, 100.0}, {110.0, 110.0}, {100.0, 110.0}};
    double P[3][3];
    solveProjectiveParams(reference, quad, P);

    // The density of the whole-pixel sampler; on a small marker its 16
    // samples a side already fall two to a pixel, and interpolation averages
    // what a cell's fraction of a pixel shows.
    const double lx = std::max(squaredLength(quad[0], quad[1]), squaredLength(quad[2], quad[3]));
    const double ly = std::max(squaredLength(quad[1], quad[2]), squaredLength(quad[3], quad[0]));
    const int nx = sampleCount(static_cast<int>(std::min(lx, 1e9)));
    const int ny = sampleCount(static_cast<int>(std::min(ly, 1e9)));
    const int fx = nx / kPatternSide;
    const int fy = ny / kPatternSide;

    double sum[kPatternValues] = {};
    for (int j = 0; j < ny; ++j) {
        const double yw = (j + 0.5) * 5.0 / ny + 102.5;
        double* cells = sum + (j / fy) * kPatternSide * kPatternPlanes;
        // Along a row the three projective terms grow by constant steps.
        const double step = 5.0 / nx, xw0 = 0.5 * step + 102.5;
        double u = P[0][0] * xw0 + P[0][1] * yw + P[0][2];
        double v = P[1][0] * xw0 + P[1][1] * yw + P[1][2];
        double d = P[2][0] * xw0 + P[2][1] * yw + P[2][2];
        for (int i = 0; i < nx; ++i, u += P[0][0] * step, v += P[1][0] * step, d += P[2][0] * step) {
            if (d == 0.0) return -1;
            const double inverse = 1.0 / d;
            double bgr[3];
            if (!bilinearPixel(frame, width, height, u * inverse, v * inverse, bgr)) continue;
            double* cell = cells + (i / fx) * kPatternPlanes;
            for (int c = 0; c < kPatternPlanes; ++c) cell[c] += bgr[c];
        }
    }
    const double perCell = fx * fy;
    for (int i = 0; i < kPatternValues; ++i)
        code->value[i] = static_cast<uint8_t>(std::min(255.0, std::floor(sum[i] / perCell + 0.5)));
    return 0;
}

int matchPatternCodeRanked(const PatternCode& code, int* id, int* dir, double* cf, double* runnerUp) {
    int16_t input[kPatternValues];
    int32_t sum = 0;
    for (int i = 0; i < kPatternValues; ++i) sum += 255 - code.value[i];
    const int32_t mean = sum / kPatternValues;
    int32_t squares = 0;
    for (int i = 0; i < kPatternValues; ++i) {
        input[i] = static_cast<int16_t>(255 - code.value[i] - mean);
        squares += input[i] * input[i];
    }
    const double power = std::sqrt(static_cast<double>(squares));
    if (power == 0.0) {
        *id = 0;
        *dir = 0;
        *cf = -1.0;
        return -1;
    }

    const PatternTable& patterns = table();
    double best = 0.0;
    // The best score of the patterns other than the best one's.
    double second = 0.0, slotBest = 0.0;
    *id = -1;
    *dir = -1;
    int visited = 0;
    for (int s = 0; s < kPatternSlots && visited < patterns.count; ++s) {
        const PatternTemplate& slot = patterns.slot[s];
        if (slot.state == Free) continue;
        ++visited;
        if (slot.state != Active) continue;
        const int before = *id;
        double top = 0.0;
        for (int r = 0; r < kPatternRotations; ++r) {
            int32_t dot = 0;
            for (int i = 0; i < kPatternValues; ++i) dot += input[i] * slot.code[r][i];
            const double score = dot / slot.norm[r] / power;
            top = std::max(top, score);
            if (score > best) {
                best = score;
                *id = s;
                *dir = r;
            }
        }
        if (*id != before) {
            second = std::max(second, slotBest);
            slotBest = top;
        } else {
            second = std::max(second, top);
        }
    }
    *cf = best;
    if (runnerUp) *runnerUp = second;
    return 0;
}

int matchPatternCode(const PatternCode& code, int* id, int* dir, double* cf) {
    return matchPatternCodeRanked(code, id, dir, cf, nullptr);
}

namespace {

void identifyCode(const uint8_t* frame, const double quad[4][2], const PatternCode& code, int* id, int* dir,
                  double* cf) {
    RankedMatch match;
    matchPatternCodeRanked(code, &match.id, &match.dir, &match.cf, &match.runnerUp);
    checkIdentity(frame, quad, code, &match);
    *id = match.id;
    *dir = match.dir;
    *cf = match.cf;
}

} // namespace

int identifyPattern(const uint8_t* frame, const int* xCoord, const int* yCoord, const int vertex[4],
                    int* id, int* dir, double* cf) {
    PatternCode code;
    if (samplePatternCode(frame, xCoord, yCoord, vertex, &code) < 0) {
        // Nothing was sampled, so there is nothing to match: unidentified.
        *id = -1;
        *dir = -1;
        *cf = 0.0;
        return 0;
    }
    double quad[4][2];
    for (int k = 0; k < 4; ++k) {
        quad[k][0] = xCoord[vertex[k]];
        quad[k][1] = yCoord[vertex[k]];
    }
    identifyCode(frame, quad, code, id, dir, cf);
    return 0;
}

int identifyPatternAt(const uint8_t* frame, const double vertex[4][2], int* id, int* dir, double* cf) {
    const double* distortion = detectorState().camera.param.distortion;
    double quad[4][2];
    for (int k = 0; k < 4; ++k) idealToObserved(distortion, vertex[k][0], vertex[k][1], &quad[k][0], &quad[k][1]);
    PatternCode code;
    if (samplePatternCodeAt(frame, quad, &code) < 0) {
        *id = -1;
        *dir = -1;
        *cf = 0.0;
        return 0;
    }
    identifyCode(frame, quad, code, id, dir, cf);
    return 0;
}
