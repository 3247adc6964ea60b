#include "render.h"
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <opencv2/imgproc.hpp>
#include "pattern.h"
#include "pattern_file.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

cv::Mat asBgr(const cv::Mat& image) {
    if (image.empty() || image.channels() == 3) return image;
    cv::Mat bgr;
    cv::cvtColor(image, bgr, image.channels() == 4 ? cv::COLOR_BGRA2BGR : cv::COLOR_GRAY2BGR);
    return bgr;
}

// What the paper shows at marker point (X, Y), in grey levels scaled between
// ink and paper; false beyond the paper's edge.
struct Face {
    cv::Mat pattern; // BGR
    PrintedMarker::Face kind;
    double halfWidth;
    double halfPaper;
    double ink;
    double paper;

    bool colourAt(double X, double Y, double bgr[3]) const {
        if (std::fabs(X) > halfPaper || std::fabs(Y) > halfPaper) return false;
        if (std::fabs(X) >= halfWidth || std::fabs(Y) >= halfWidth) {
            bgr[0] = bgr[1] = bgr[2] = paper;
            return true;
        }
        const double half = kind == PrintedMarker::PatternInBorder ? halfWidth / 2 : halfWidth;
        if (std::fabs(X) >= half || std::fabs(Y) >= half) {
            bgr[0] = bgr[1] = bgr[2] = ink;
            return true;
        }
        if (pattern.empty()) {
            bgr[0] = bgr[1] = bgr[2] = paper;
            return true;
        }
        // Row 0 along +Y, column 0 along -X.
        const int column = std::min(pattern.cols - 1, static_cast<int>((X + half) / (2 * half) * pattern.cols));
        const int row = std::min(pattern.rows - 1, static_cast<int>((half - Y) / (2 * half) * pattern.rows));
        const cv::Vec3b& v = pattern.at<cv::Vec3b>(row, column);
        for (int k = 0; k < 3; ++k) bgr[k] = ink + (paper - ink) * v[k] / 255.0;
        return true;
    }
};

Face makeFace(const PrintedMarker& marker, double ink, double paper) {
    const double half = marker.widthMm / 2;
    return Face{asBgr(marker.pattern), marker.face, half, half + marker.marginFraction * marker.widthMm, ink,
                paper};
}

// Plane-to-image homography of the marker plane Z = 0 in ideal pixels:
// columns P3 r1, P3 r2 and P3 t + p4.
cv::Matx33d planeHomography(const CameraParam& camera, const double T[3][4]) {
    cv::Matx33d H;
    for (int i = 0; i < 3; ++i) {
        const double* p = camera.projection[i];
        H(i, 0) = p[0] * T[0][0] + p[1] * T[1][0] + p[2] * T[2][0];
        H(i, 1) = p[0] * T[0][1] + p[1] * T[1][1] + p[2] * T[2][1];
        H(i, 2) = p[0] * T[0][3] + p[1] * T[1][3] + p[2] * T[2][3] + p[3];
    }
    return H;
}

// Observed-pixel box around the marker's paper, from points along its
// outline (distortion bends straight edges); empty when any is behind.
cv::Rect paperBox(const CameraParam& camera, const double T[3][4], double halfPaper) {
    const int steps = 16;
    double minX = 1e18, minY = 1e18, maxX = -1e18, maxY = -1e18;
    for (int side = 0; side < 4; ++side) {
        for (int s = 0; s < steps; ++s) {
            const double f = -1.0 + 2.0 * s / steps;
            const double X = halfPaper * (side == 0 ? f : side == 1 ? 1 : side == 2 ? -f : -1);
            const double Y = halfPaper * (side == 0 ? 1 : side == 1 ? -f : side == 2 ? -1 : f);
            double c[3];
            for (int r = 0; r < 3; ++r) c[r] = T[r][0] * X + T[r][1] * Y + T[r][3];
            if (c[2] <= 0) return cv::Rect();
            double h[3];
            for (int r = 0; r < 3; ++r)
                h[r] = camera.projection[r][0] * c[0] + camera.projection[r][1] * c[1] +
                       camera.projection[r][2] * c[2] + camera.projection[r][3];
            double ox, oy;
            idealToObserved(camera.distortion, h[0] / h[2], h[1] / h[2], &ox, &oy);
            minX = std::min(minX, ox), maxX = std::max(maxX, ox);
            minY = std::min(minY, oy), maxY = std::max(maxY, oy);
        }
    }
    const int pad = 3;
    const int x0 = static_cast<int>(std::floor(std::max(-1e6, minX))) - pad;
    const int y0 = static_cast<int>(std::floor(std::max(-1e6, minY))) - pad;
    const int x1 = static_cast<int>(std::ceil(std::min(1e6, maxX))) + pad;
    const int y1 = static_cast<int>(std::ceil(std::min(1e6, maxY))) + pad;
    return cv::Rect(x0, y0, x1 - x0 + 1, y1 - y0 + 1);
}

// Inverse mapping with supersampling: each sample point of a pixel goes
// observed -> ideal -> marker plane -> paper; samples off the paper keep
// what is already drawn there.
void drawMarker(cv::Mat& frame, const CameraParam& camera, const PrintedMarker& marker,
                const RenderSettings& settings) {
    const double halfPaper = marker.widthMm / 2 + marker.marginFraction * marker.widthMm;
    const cv::Rect box = paperBox(camera, marker.transform, halfPaper) & cv::Rect(0, 0, frame.cols, frame.rows);
    if (box.empty()) return;
    const Face face = makeFace(marker, settings.inkLevel, settings.paperLevel);
    const cv::Matx33d Hinv = planeHomography(camera, marker.transform).inv();
    const int S = std::max(1, settings.supersample);
    const double inv = 1.0 / (S * S);
    for (int y = box.y; y < box.y + box.height; ++y) {
        cv::Vec3b* row = frame.ptr<cv::Vec3b>(y);
        for (int x = box.x; x < box.x + box.width; ++x) {
            double sum[3] = {0, 0, 0};
            bool touched = false;
            for (int sy = 0; sy < S; ++sy) {
                for (int sx = 0; sx < S; ++sx) {
                    const double ox = x - 0.5 + (sx + 0.5) / S;
                    const double oy = y - 0.5 + (sy + 0.5) / S;
                    double ix, iy;
                    observedToIdeal(camera.distortion, ox, oy, &ix, &iy);
                    const double w = Hinv(2, 0) * ix + Hinv(2, 1) * iy + Hinv(2, 2);
                    double bgr[3];
                    if (w > 0 && face.colourAt((Hinv(0, 0) * ix + Hinv(0, 1) * iy + Hinv(0, 2)) / w,
                                               (Hinv(1, 0) * ix + Hinv(1, 1) * iy + Hinv(1, 2)) / w, bgr)) {
                        touched = true;
                    } else {
                        for (int k = 0; k < 3; ++k) bgr[k] = row[x][k];
                    }
                    for (int k = 0; k < 3; ++k) sum[k] += bgr[k];
                }
            }
            if (touched)
                for (int k = 0; k < 3; ++k) row[x][k] = cv::saturate_cast<uchar>(sum[k] * inv);
        }
    }
}

// Dark shapes a detector must reject: discs, ellipses, triangles, stars,
// thick strokes and specks, none of them four-cornered.
void drawClutter(cv::Mat& frame, const std::vector<cv::Rect>& keepOut, const RenderSettings& settings,
                 cv::RNG& rng) {
    const int scale = std::max(8, std::min(frame.cols, frame.rows) / 8);
    int drawn = 0;
    for (int attempt = 0; attempt < settings.clutterCount * 20 && drawn < settings.clutterCount; ++attempt) {
        const cv::Point centre(rng.uniform(0, frame.cols), rng.uniform(0, frame.rows));
        const int size = rng.uniform(3, scale);
        const cv::Rect bounds(centre.x - size - 4, centre.y - size - 4, 2 * size + 9, 2 * size + 9);
        bool clear = true;
        for (const cv::Rect& r : keepOut) clear = clear && (bounds & r).empty();
        if (!clear) continue;
        const int grey = rng.uniform(0, 80);
        const cv::Scalar colour(grey, grey + rng.uniform(0, 10), grey + rng.uniform(0, 10));
        switch (rng.uniform(0, 6)) {
        case 0:
            cv::circle(frame, centre, size, colour, cv::FILLED, cv::LINE_AA);
            break;
        case 1:
            cv::ellipse(frame, centre, cv::Size(size, std::max(1, size / 3)), rng.uniform(0.0, 180.0), 0, 360,
                        colour, cv::FILLED, cv::LINE_AA);
            break;
        case 2: {
            std::vector<cv::Point> triangle;
            for (int k = 0; k < 3; ++k) {
                const double angle = rng.uniform(0.0, 2 * kPi / 3) + k * 2 * kPi / 3;
                triangle.emplace_back(centre.x + static_cast<int>(size * std::cos(angle)),
                                      centre.y + static_cast<int>(size * std::sin(angle)));
            }
            cv::fillConvexPoly(frame, triangle, colour, cv::LINE_AA);
            break;
        }
        case 3: {
            std::vector<cv::Point> star;
            const double turn = rng.uniform(0.0, kPi);
            for (int k = 0; k < 10; ++k) {
                const double radius = k % 2 ? size * 0.45 : size;
                const double angle = turn + k * kPi / 5;
                star.emplace_back(centre.x + static_cast<int>(radius * std::cos(angle)),
                                  centre.y + static_cast<int>(radius * std::sin(angle)));
            }
            cv::fillPoly(frame, std::vector<std::vector<cv::Point>>{star}, colour, cv::LINE_AA);
            break;
        }
        case 4: {
            const double angle = rng.uniform(0.0, kPi);
            const cv::Point reach(static_cast<int>(size * std::cos(angle)), static_cast<int>(size * std::sin(angle)));
            cv::line(frame, centre - reach, centre + reach, colour, rng.uniform(1, 4), cv::LINE_AA);
            break;
        }
        default:
            cv::circle(frame, centre, rng.uniform(1, 4), colour, cv::FILLED, cv::LINE_AA);
            break;
        }
        ++drawn;
    }
}

} // namespace

cv::Mat renderFrame(const CameraParam& camera, const std::vector<PrintedMarker>& markers,
                    const RenderSettings& settings, std::vector<MarkerTruth>* truth) {
    cv::Mat frame(settings.height, settings.width, CV_8UC3, settings.background);
    cv::RNG rng(settings.seed);

    std::vector<cv::Rect> keepOut;
    for (const PrintedMarker& marker : markers) {
        const double halfPaper = marker.widthMm / 2 + marker.marginFraction * marker.widthMm;
        keepOut.push_back(paperBox(camera, marker.transform, halfPaper));
    }
    drawClutter(frame, keepOut, settings, rng);
    for (const PrintedMarker& marker : markers) drawMarker(frame, camera, marker, settings);

    if (settings.blurSigmaPx > 0) cv::GaussianBlur(frame, frame, cv::Size(0, 0), settings.blurSigmaPx);
    if (settings.noiseSigma > 0) addSensorNoise(frame, settings.noiseSigma, rng);

    if (truth) {
        truth->clear();
        for (const PrintedMarker& marker : markers) {
            MarkerTruth t{};
            std::copy(&marker.transform[0][0], &marker.transform[0][0] + 12, &t.transform[0][0]);
            const cv::Matx33d H = planeHomography(camera, marker.transform);
            const double w = marker.widthMm / 2;
            const double model[4][2] = {{-w, w}, {w, w}, {w, -w}, {-w, -w}};
            t.inFront = true;
            for (int k = 0; k < 4; ++k) {
                const cv::Vec3d h = H * cv::Vec3d(model[k][0], model[k][1], 1.0);
                t.corner[k][0] = h[0] / h[2];
                t.corner[k][1] = h[1] / h[2];
                const double depth = marker.transform[2][0] * model[k][0] + marker.transform[2][1] * model[k][1] +
                                     marker.transform[2][3];
                t.inFront = t.inFront && depth > 0;
            }
            truth->push_back(t);
        }
    }
    return frame;
}

void addSensorNoise(cv::Mat& bgr, double sigma, cv::RNG& rng) {
    cv::Mat noise(bgr.size(), CV_32FC3);
    rng.fill(noise, cv::RNG::NORMAL, 0.0, sigma);
    cv::Mat sum;
    bgr.convertTo(sum, CV_32FC3);
    sum += noise;
    sum.convertTo(bgr, CV_8UC3);
}

cv::Mat toDetectorFrame(const cv::Mat& bgr) {
    cv::Mat bgra;
    cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
    return bgra;
}

cv::Mat renderMarkerImage(const cv::Mat& pattern, int sidePx, int marginPx, PrintedMarker::Face face) {
    PrintedMarker marker;
    marker.pattern = pattern;
    marker.face = face;
    marker.widthMm = sidePx;
    marker.marginFraction = static_cast<double>(marginPx) / sidePx;
    const Face paper = makeFace(marker, 0.0, 255.0);
    const int size = sidePx + 2 * marginPx;
    cv::Mat image(size, size, CV_8UC3);
    const int S = 4;
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            double sum[3] = {0, 0, 0};
            for (int sy = 0; sy < S; ++sy)
                for (int sx = 0; sx < S; ++sx) {
                    // Image x runs along +X, image y along -Y.
                    const double X = x + (sx + 0.5) / S - size / 2.0;
                    const double Y = size / 2.0 - (y + (sy + 0.5) / S);
                    double bgr[3] = {255.0, 255.0, 255.0};
                    paper.colourAt(X, Y, bgr);
                    for (int k = 0; k < 3; ++k) sum[k] += bgr[k];
                }
            for (int k = 0; k < 3; ++k) image.at<cv::Vec3b>(y, x)[k] = cv::saturate_cast<uchar>(sum[k] / (S * S));
        }
    }
    return image;
}

void poseFromView(const CameraParam& camera, double distanceMm, double tiltXDeg, double tiltYDeg,
                  double rollDeg, double imageX, double imageY, double transform[3][4]) {
    const double ax = tiltXDeg * kPi / 180, ay = tiltYDeg * kPi / 180, az = rollDeg * kPi / 180;
    // Facing the camera upright: marker X along camera x, marker Y up the
    // image (camera -y), the marker's normal towards the camera.
    const cv::Matx33d facing(1, 0, 0, 0, -1, 0, 0, 0, -1);
    const cv::Matx33d rx(1, 0, 0, 0, std::cos(ax), -std::sin(ax), 0, std::sin(ax), std::cos(ax));
    const cv::Matx33d ry(std::cos(ay), 0, std::sin(ay), 0, 1, 0, -std::sin(ay), 0, std::cos(ay));
    const cv::Matx33d rz(std::cos(az), -std::sin(az), 0, std::sin(az), std::cos(az), 0, 0, 0, 1);
    const cv::Matx33d R = facing * rx * ry * rz;

    cv::Matx33d K;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) K(r, c) = camera.projection[r][c];
    const cv::Vec3d ray = K.inv() * cv::Vec3d(imageX, imageY, 1.0);
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) transform[r][c] = R(r, c);
        transform[r][3] = ray[r] / ray[2] * distanceMm;
    }
}

namespace {

// The board fills a square grid of cells, centred to the cell, so that
// the pattern lookup of a WholeSquare marker draws it and the white cells
// around it give the finder its quiet zone.
struct BoardLayout {
    int cells;   // cells along each side of the printed square
    int left;    // first board column
    int top;     // first board row
};

BoardLayout boardLayout(int cols, int rows) {
    const int cells = std::max(cols, rows) + 3;
    return {cells, (cells - cols - 1) / 2, (cells - rows - 1) / 2};
}

} // namespace

PrintedMarker makeChessboard(int cols, int rows, double squareMm) {
    const BoardLayout layout = boardLayout(cols, rows);
    PrintedMarker board;
    board.pattern = cv::Mat(layout.cells, layout.cells, CV_8UC3, cv::Scalar::all(255));
    for (int r = 0; r <= rows; ++r)
        for (int c = 0; c <= cols; ++c)
            if ((r + c) % 2 == 0) board.pattern.at<cv::Vec3b>(layout.top + r, layout.left + c) = cv::Vec3b(0, 0, 0);
    board.face = PrintedMarker::WholeSquare;
    board.widthMm = layout.cells * squareMm;
    board.marginFraction = 0.0;
    return board;
}

std::vector<cv::Point3d> chessboardCorners(int cols, int rows, double squareMm) {
    const BoardLayout layout = boardLayout(cols, rows);
    const double half = layout.cells * squareMm / 2;
    std::vector<cv::Point3d> corners;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            corners.emplace_back((layout.left + 1 + c) * squareMm - half, half - (layout.top + 1 + r) * squareMm, 0.0);
    return corners;
}

cv::Point2d observedPixelOf(const CameraParam& camera, const double transform[3][4], double X, double Y) {
    const cv::Vec3d h = planeHomography(camera, transform) * cv::Vec3d(X, Y, 1.0);
    cv::Point2d observed;
    idealToObserved(camera.distortion, h[0] / h[2], h[1] / h[2], &observed.x, &observed.y);
    return observed;
}

CameraParam makeCameraParam(int width, int height, double focalPx, double distortionFactor) {
    CameraParam camera;
    camera.xsize = width;
    camera.ysize = height;
    camera.projection[0][0] = focalPx;
    camera.projection[0][2] = width / 2.0;
    camera.projection[1][1] = focalPx;
    camera.projection[1][2] = height / 2.0;
    camera.projection[2][2] = 1.0;
    camera.distortion[0] = width / 2.0;
    camera.distortion[1] = height / 2.0;
    camera.distortion[2] = distortionFactor;
    camera.distortion[3] = 1.0;
    return camera;
}

CameraParam defaultCameraParam() { return makeCameraParam(640, 480, 700.0, 5.0); }

cv::Mat makeRandomPattern(uint32_t seed) {
    static const cv::Vec3b palette[] = {{0, 0, 0},   {255, 255, 255}, {0, 0, 255},   {255, 0, 0},
                                        {0, 200, 0}, {0, 220, 255},   {40, 40, 40}, {230, 230, 230}};
    cv::RNG rng(seed);
    for (;;) {
        // 4 x 4 blocks of 4 x 4 cells: coarse enough to survive blur and small sizes.
        cv::Mat pattern(kPatternSide, kPatternSide, CV_8UC3);
        for (int by = 0; by < 4; ++by)
            for (int bx = 0; bx < 4; ++bx) {
                const cv::Vec3b colour = palette[rng.uniform(0, 8)];
                pattern(cv::Rect(bx * 4, by * 4, 4, 4)).setTo(cv::Scalar(colour[0], colour[1], colour[2]));
            }
        cv::Mat turned;
        cv::rotate(pattern, turned, cv::ROTATE_90_CLOCKWISE);
        cv::Mat half;
        cv::rotate(pattern, half, cv::ROTATE_180);
        if (cv::norm(pattern, turned, cv::NORM_L1) > 0 && cv::norm(pattern, half, cv::NORM_L1) > 0) return pattern;
    }
}

int readPatternImage(const char* path, cv::Mat& pattern) {
    PatternCode codes[kPatternRotations];
    if (readPatternFile(path, codes) != PatternFileRead::Read) return -1;
    cv::Mat image(kPatternSide, kPatternSide, CV_8UC3);
    for (int row = 0; row < kPatternSide; ++row)
        for (int column = 0; column < kPatternSide; ++column)
            for (int plane = 0; plane < kPatternPlanes; ++plane)
                image.at<cv::Vec3b>(row, column)[plane] = codes[0].value[(row * kPatternSide + column) * kPatternPlanes + plane];
    pattern = image;
    return 0;
}

int writePatternImageFile(const char* path, const cv::Mat& pattern) {
    if (pattern.type() != CV_8UC3 || pattern.rows != kPatternSide || pattern.cols != kPatternSide) return -1;
    PatternCode codes[kPatternRotations];
    cv::Mat rotation = pattern.clone();
    for (int r = 0; r < kPatternRotations; ++r) {
        for (int row = 0; row < kPatternSide; ++row)
            for (int column = 0; column < kPatternSide; ++column)
                for (int plane = 0; plane < kPatternPlanes; ++plane)
                    codes[r].value[(row * kPatternSide + column) * kPatternPlanes + plane] = rotation.at<cv::Vec3b>(row, column)[plane];
        cv::Mat next;
        cv::rotate(rotation, next, cv::ROTATE_90_COUNTERCLOCKWISE);
        rotation = next;
    }
    return writePatternCodes(path, codes);
}

namespace {

// The largest of |x| and |y| over the convex quadrilateral `q`, at its
// smallest: how far a square paper centred on the origin may grow before
// it reaches the quadrilateral. 0 when the origin lies inside.
double squareReachTo(const double q[4][2]) {
    bool left = true, right = true;
    for (int k = 0; k < 4; ++k) {
        const double* a = q[k];
        const double* b = q[(k + 1) % 4];
        const double turn = (b[0] - a[0]) * -a[1] - (b[1] - a[1]) * -a[0];
        left = left && turn >= 0;
        right = right && turn <= 0;
    }
    if (left || right) return 0.0;
    double best = 1e300;
    for (int k = 0; k < 4; ++k) {
        const double* a = q[k];
        const double* b = q[(k + 1) % 4];
        const auto reach = [&](double t) {
            return std::max(std::fabs(a[0] + t * (b[0] - a[0])), std::fabs(a[1] + t * (b[1] - a[1])));
        };
        // Convex along the edge: a ternary search finds its least.
        double lo = 0.0, hi = 1.0;
        for (int step = 0; step < 80; ++step) {
            const double m1 = lo + (hi - lo) / 3, m2 = hi - (hi - lo) / 3;
            if (reach(m1) < reach(m2)) hi = m2;
            else lo = m1;
        }
        best = std::min(best, reach((lo + hi) / 2));
    }
    return best;
}

// Members printed on one sheet share their paper: each member's margin
// ends halfway to every neighbour's square in its plane, so that a gap
// narrower than two margins does not lay one member's white paper over a
// neighbour's black border. Members on other planes (a cube's faces) keep
// their margins.
void shareThePaper(std::vector<PrintedMarker>& members) {
    constexpr double kSamePlaneMm = 1e-3;
    std::vector<double> margins(members.size());
    for (size_t i = 0; i < members.size(); ++i) {
        const RigidPose own = poseFromTransform(members[i].transform);
        const double half = members[i].widthMm / 2;
        double margin = members[i].marginFraction * members[i].widthMm;
        for (size_t j = 0; j < members.size(); ++j) {
            if (j == i) continue;
            const RigidPose other = poseFromTransform(members[j].transform);
            const double w = members[j].widthMm / 2;
            const double corners[4][2] = {{-w, w}, {w, w}, {w, -w}, {-w, -w}};
            double inOwn[4][2];
            bool samePlane = true;
            for (int k = 0; k < 4; ++k) {
                double body[3], local[3] = {0, 0, 0};
                for (int r = 0; r < 3; ++r)
                    body[r] = other.R[r][0] * corners[k][0] + other.R[r][1] * corners[k][1] + other.t[r] - own.t[r];
                for (int c = 0; c < 3; ++c)
                    for (int r = 0; r < 3; ++r) local[c] += own.R[r][c] * body[r];
                samePlane = samePlane && std::fabs(local[2]) < kSamePlaneMm;
                inOwn[k][0] = local[0];
                inOwn[k][1] = local[1];
            }
            if (samePlane) margin = std::min(margin, std::max(0.0, (squareReachTo(inOwn) - half) / 2));
        }
        margins[i] = margin;
    }
    for (size_t i = 0; i < members.size(); ++i)
        if (members[i].widthMm > 0) members[i].marginFraction = margins[i] / members[i].widthMm;
}

} // namespace

std::vector<PrintedMarker> placeBody(const PrintedBody& body, std::vector<int>* memberIndex) {
    const RigidPose toCamera = poseFromTransform(body.transform);
    std::vector<std::pair<double, int>> order;
    std::vector<PrintedMarker> placed(body.members);
    shareThePaper(placed);
    for (size_t i = 0; i < body.members.size(); ++i) {
        const RigidPose pose = composePoses(toCamera, poseFromTransform(body.members[i].transform));
        poseToTransform(pose, placed[i].transform);
        // The printed side faces the camera when its normal (+Z, out of the
        // paper) points back along the line of sight.
        const double facing = pose.R[0][2] * pose.t[0] + pose.R[1][2] * pose.t[1] + pose.R[2][2] * pose.t[2];
        if (facing < 0) order.emplace_back(-pose.t[2], static_cast<int>(i));
    }
    std::sort(order.begin(), order.end());
    std::vector<PrintedMarker> out;
    if (memberIndex) memberIndex->clear();
    for (const auto& entry : order) {
        out.push_back(placed[entry.second]);
        if (memberIndex) memberIndex->push_back(entry.second);
    }
    return out;
}

std::vector<RigidPose> boardLayout(int cols, int rows, double widthMm, double gapMm) {
    std::vector<RigidPose> layout;
    const double pitch = widthMm + gapMm;
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            RigidPose p;
            p.t[0] = (c - (cols - 1) / 2.0) * pitch;
            p.t[1] = ((rows - 1) / 2.0 - r) * pitch;
            layout.push_back(p);
        }
    return layout;
}

std::vector<RigidPose> cubeLayout(double sideMm) {
    const double h = sideMm / 2;
    // Columns are the marker's X, Y and Z axes in the body frame.
    const double axes[5][3][3] = {
        {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}},    // +Z face
        {{0, 0, -1}, {0, 1, 0}, {1, 0, 0}},   // +X face
        {{-1, 0, 0}, {0, 1, 0}, {0, 0, -1}},  // -Z face
        {{0, 0, 1}, {0, 1, 0}, {-1, 0, 0}},   // -X face
        {{1, 0, 0}, {0, 0, -1}, {0, 1, 0}},   // +Y face, top edge towards -Z
    };
    std::vector<RigidPose> layout;
    for (const auto& a : axes) {
        RigidPose p;
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) p.R[r][c] = a[c][r];
            p.t[r] = h * a[2][r];
        }
        layout.push_back(p);
    }
    return layout;
}
