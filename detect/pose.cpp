#include "pose.h"
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>
#include "camera_param.h"
#include "detector_state.h"
#include "least_squares.h"
#include "matrix.h"

namespace {

constexpr int kMaxAttempts = 5;
constexpr double kGoodEnoughError = 1.0;
constexpr int kPasses = 10;
constexpr double kFirstStepRad = 0.17453292519943295; // 10 degrees
constexpr double kTrialCeiling = 1e9;
constexpr double kTinyAngleRad = 1e-6;
constexpr double kBackProjectDepth = 10.0;
constexpr double kPi = 3.14159265358979323846;

// False for a zero vector, which has no direction to keep.
bool normalise(double v[3]) {
    const double len = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    if (len == 0.0) return false;
    v[0] /= len;
    v[1] /= len;
    v[2] /= len;
    return true;
}

void cross(const double a[3], const double b[3], double out[3]) {
    out[0] = a[1] * b[2] - a[2] * b[1];
    out[1] = a[2] * b[0] - a[0] * b[2];
    out[2] = a[0] * b[1] - a[1] * b[0];
}

double dot3(const double a[3], const double b[3]) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// Clamps a (cos, sin) pair back onto the unit circle's range, in the order
// that decides which of the two wins when both are out.
void clampPair(double& c, double& s) {
    if (c > 1.0) {
        c = 1.0;
        s = 0.0;
    } else if (c < -1.0) {
        c = -1.0;
        s = 0.0;
    } else if (s > 1.0) {
        c = 0.0;
        s = 1.0;
    } else if (s < -1.0) {
        c = 0.0;
        s = -1.0;
    }
}

double angleOf(double c, double s) {
    clampPair(c, s);
    const double angle = std::acos(c);
    return s < 0.0 ? -angle : angle;
}

// The two unit vectors u with m . u = 0 and g . u = cb, solved through the
// first two coordinates of the order in which they are most independent.
// The three candidate determinants are the components of m x g, a unit
// vector, so the largest is at least 1 / sqrt(3): picking merely a non-zero
// one broke down for a marker facing the camera, where m lies along the
// optical axis and the first determinant is tiny but not zero.
int perpendicularCandidates(const double g[3], const double m[3], double cb, double u[2][3]) {
    static const int orders[3][3] = {{0, 1, 2}, {0, 2, 1}, {2, 1, 0}};
    const int* order = orders[0];
    double largest = -1.0;
    for (const int* candidate : orders) {
        const double det = m[candidate[1]] * g[candidate[0]] - g[candidate[1]] * m[candidate[0]];
        if (std::fabs(det) > largest) {
            largest = std::fabs(det);
            order = candidate;
        }
    }
    const double g0 = g[order[0]], g1 = g[order[1]], g2 = g[order[2]];
    const double m0 = m[order[0]], m1 = m[order[1]], m2 = m[order[2]];
    const double det = m1 * g0 - g1 * m0;
    if (det == 0.0) return -1;
    const double k1 = (g1 * m2 - m1 * g2) / det;
    const double k2 = m1 * cb / det;
    const double k3 = (g0 * m2 - m0 * g2) / (m0 * g1 - g0 * m1);
    const double k4 = m0 * cb / (m0 * g1 - g0 * m1);
    const double A = k1 * k1 + k3 * k3 + 1;
    const double B = k1 * k2 + k3 * k4;
    double D = B * B - A * (k2 * k2 + k4 * k4 - 1);
    // For unit g and m perpendicular to it the discriminant is never negative
    // (cb <= 1); near-perpendicular inputs (cb -> 1, a double root) can round
    // it just below zero, which is no reason to give up.
    if (D < 0) {
        if (D < -1e-9 * A) return -1;
        D = 0;
    }
    const double roots[2] = {(-B + std::sqrt(D)) / A, (-B - std::sqrt(D)) / A};
    for (int i = 0; i < 2; ++i) {
        u[i][order[0]] = k1 * roots[i] + k2;
        u[i][order[1]] = k3 * roots[i] + k4;
        u[i][order[2]] = roots[i];
    }
    return 0;
}

// Translation by linear least squares for a fixed rotation; only P00, P01,
// P02, P11 and P12 enter.
void solveTranslation(const double R[3][3], const double P[3][4], const double model[][3],
                      const double observed[][2], int n, double t[3]) {
    Matrix* a = allocMatrix(2 * n, 3);
    Matrix* at_ = allocMatrix(3, 2 * n);
    Matrix* b = allocMatrix(2 * n, 1);
    Matrix* normal = allocMatrix(3, 3);
    Matrix* rhs = allocMatrix(3, 1);
    Matrix* solution = allocMatrix(3, 1);
    for (int i = 0; i < n; ++i) {
        const double* M = model[i];
        const double wx = R[0][0] * M[0] + R[0][1] * M[1] + R[0][2] * M[2];
        const double wy = R[1][0] * M[0] + R[1][1] * M[1] + R[1][2] * M[2];
        const double wz = R[2][0] * M[0] + R[2][1] * M[1] + R[2][2] * M[2];
        const double px = observed[i][0], py = observed[i][1];
        at(a, 2 * i, 0) = P[0][0];
        at(a, 2 * i, 1) = P[0][1];
        at(a, 2 * i, 2) = P[0][2] - px;
        at(b, 2 * i, 0) = wz * px - P[0][0] * wx - P[0][1] * wy - wz * P[0][2];
        at(a, 2 * i + 1, 0) = 0.0;
        at(a, 2 * i + 1, 1) = P[1][1];
        at(a, 2 * i + 1, 2) = P[1][2] - py;
        at(b, 2 * i + 1, 0) = wz * py - P[1][1] * wy - wz * P[1][2];
    }
    for (int r = 0; r < 2 * n; ++r)
        for (int c = 0; c < 3; ++c) at(at_, c, r) = at(a, r, c);
    multiplyMatrix(normal, at_, a);
    multiplyMatrix(rhs, at_, b);
    // A singular normal matrix is not reported: the solve goes on with what
    // the inversion left, and the angle search judges the outcome.
    invertMatrixInPlace(normal);
    multiplyMatrix(solution, normal, rhs);
    for (int k = 0; k < 3; ++k) t[k] = solution->m[k];
    freeMatrix(a);
    freeMatrix(at_);
    freeMatrix(b);
    freeMatrix(normal);
    freeMatrix(rhs);
    freeMatrix(solution);
}

// Solves with the model shifted to its bounding-box centre, which keeps the
// translation step well conditioned, then moves the translation back.
double centredSolve(double R[3][3], double t[3], const double image[][2], const double model[][3], int n) {
    DetectorState& state = detectorState();
    double minX = 1e10, minY = 1e10, maxX = -1e10, maxY = -1e10;
    for (int i = 0; i < n; ++i) {
        if (model[i][0] < minX) minX = model[i][0];
        if (model[i][0] > maxX) maxX = model[i][0];
        if (model[i][1] < minY) minY = model[i][1];
        if (model[i][1] > maxY) maxY = model[i][1];
    }
    const double ox = -(minX + maxX) / 2.0;
    const double oy = -(minY + maxY) / 2.0;
    for (int i = 0; i < n; ++i) {
        state.poseModel[i][0] = model[i][0] + ox;
        state.poseModel[i][1] = model[i][1] + oy;
        state.poseModel[i][2] = 0.0;
    }
    const double error = solvePose(R, t, image, state.poseModel, n);
    for (int r = 0; r < 3; ++r) t[r] += R[r][0] * ox + R[r][1] * oy;
    return error;
}

} // namespace

namespace {

void rotationFromSines(double sa, double ca, double sb, double cb, double sc, double cc, double R[3][3]) {
    R[0][0] = ca * ca * cb * cc + sa * sa * cc + sa * ca * cb * sc - sa * ca * sc;
    R[0][1] = -ca * ca * cb * sc - sa * sa * sc + sa * ca * cb * cc - sa * ca * cc;
    R[0][2] = ca * sb;
    R[1][0] = sa * ca * cb * cc - sa * ca * cc + sa * sa * cb * sc + ca * ca * sc;
    R[1][1] = -sa * ca * cb * sc + sa * ca * sc + sa * sa * cb * cc + ca * ca * cc;
    R[1][2] = sa * sb;
    R[2][0] = -ca * sb * cc - sa * sb * sc;
    R[2][1] = ca * sb * sc - sa * sb * cc;
    R[2][2] = cb;
}

} // namespace

void anglesToRotation(double a, double b, double c, double R[3][3]) {
    rotationFromSines(std::sin(a), std::cos(a), std::sin(b), std::cos(b), std::sin(c), std::cos(c), R);
}

void rotationToAngles(double R[3][3], double* a, double* b, double* c) {
    if (R[2][2] > 1.0) R[2][2] = 1.0;
    if (R[2][2] < -1.0) R[2][2] = -1.0;
    *b = std::acos(R[2][2]);
    if (*b > kPi - kTinyAngleRad) {
        // The other pole, where a marker squarely faces the camera: sin b
        // vanishes as well, so a = 0 and the in-plane turn goes into c.
        *a = 0.0;
        *b = kPi;
        *c = angleOf(-R[0][0], R[1][0]);
    } else if (*b >= kTinyAngleRad) {
        const double sb = std::sin(*b);
        *a = angleOf(R[0][2] / sb, R[1][2] / sb);
        const double k = R[0][2] * R[0][2] + R[1][2] * R[1][2];
        const double sinC = (R[2][1] * R[0][2] - R[2][0] * R[1][2]) / k;
        const double cosC = -(R[0][2] * R[2][0] + R[1][2] * R[2][1]) / k;
        *c = angleOf(cosC, sinC);
    } else {
        // Facing away along the optical axis: the in-plane turn goes into c.
        *a = 0.0;
        *b = 0.0;
        *c = angleOf(R[0][0], R[1][0]);
    }
}

namespace {

// idealToObserved with its constants taken once, for the angle search's
// 2160 mappings per solve: the same arithmetic and so the same results.
// Without the exact-centre case, which gives x0 + 0 x d = x0 all the same.
struct LensMap {
    double x0, y0, p, s;
    explicit LensMap(const double distortion[4])
        : x0(distortion[0]), y0(distortion[1]), p(distortion[2] / 100000000.0), s(distortion[3]) {}
    void toObserved(double& x, double& y) const {
        const double dx = (x - x0) * s, dy = (y - y0) * s;
        const double d = 1.0 - p * (dx * dx + dy * dy);
        x = x0 + dx * d;
        y = y0 + dy * d;
    }
};

// The angle search of refineRotation. With a lens each trial projection
// passes through it before it is compared with the observed points; null
// leaves the plain pinhole comparison.
template <bool kThroughLens>
double searchRotation(double R[3][3], const double t[3], const double P[3][4], const double model[][3],
                      const double observed[][2], int n, const LensMap* lens) {
    double a, b, c;
    rotationToAngles(R, &a, &b, &c);
    double step = kFirstStepRad;
    double best[3] = {0.0, 0.0, 0.0};
    int bestOffset[3] = {0, 0, 0};
    double minerr = kTrialCeiling;

    // The translation part of P [R' | t] does not change within a pass.
    double Pt[3];
    for (int i = 0; i < 3; ++i) Pt[i] = P[i][0] * t[0] + P[i][1] * t[1] + P[i][2] * t[2] + P[i][3];

    for (int pass = 0; pass < kPasses; ++pass) {
        minerr = kTrialCeiling;
        // Each angle takes three values per pass: nine sines and cosines
        // serve all 27 trials.
        double angle[3][3], sine[3][3], cosine[3][3];
        const double centre[3] = {a, b, c};
        for (int axis = 0; axis < 3; ++axis)
            for (int s = -1; s <= 1; ++s) {
                angle[axis][s + 1] = centre[axis] + s * step;
                sine[axis][s + 1] = std::sin(angle[axis][s + 1]);
                cosine[axis][s + 1] = std::cos(angle[axis][s + 1]);
            }
        for (int s1 = -1; s1 <= 1; ++s1)
            for (int s2 = -1; s2 <= 1; ++s2)
                for (int s3 = -1; s3 <= 1; ++s3) {
                    const int i1 = s1 + 1, i2 = s2 + 1, i3 = s3 + 1;
                    const double ta = angle[0][i1], tb = angle[1][i2], tc = angle[2][i3];
                    double trial[3][3];
                    rotationFromSines(sine[0][i1], cosine[0][i1], sine[1][i2], cosine[1][i2], sine[2][i3],
                                      cosine[2][i3], trial);
                    double G[3][4];
                    for (int i = 0; i < 3; ++i) {
                        for (int j = 0; j < 3; ++j)
                            G[i][j] = P[i][0] * trial[0][j] + P[i][1] * trial[1][j] + P[i][2] * trial[2][j];
                        G[i][3] = Pt[i];
                    }
                    double err = 0.0;
                    for (int k = 0; k < n; ++k) {
                        const double* M = model[k];
                        const double hx = G[0][0] * M[0] + G[0][1] * M[1] + G[0][2] * M[2] + G[0][3];
                        const double hy = G[1][0] * M[0] + G[1][1] * M[1] + G[1][2] * M[2] + G[1][3];
                        const double hz = G[2][0] * M[0] + G[2][1] * M[1] + G[2][2] * M[2] + G[2][3];
                        double x = hx / hz, y = hy / hz;
                        if constexpr (kThroughLens) lens->toObserved(x, y);
                        const double dx = observed[k][0] - x;
                        const double dy = observed[k][1] - y;
                        err += dx * dx + dy * dy;
                    }
                    if (err < minerr) {
                        minerr = err;
                        best[0] = ta, best[1] = tb, best[2] = tc;
                        bestOffset[0] = s1, bestOffset[1] = s2, bestOffset[2] = s3;
                    }
                }
        if (bestOffset[0] == 0 && bestOffset[1] == 0 && bestOffset[2] == 0) step *= 0.5;
        a = best[0], b = best[1], c = best[2];
    }
    anglesToRotation(a, b, c, R);
    return minerr / n;
}

bool isIdentityDistortion(const double distortion[4]) { return distortion[2] == 0.0 && distortion[3] == 1.0; }

// Observed pixel of model point M under [R | t], through the lens.
void projectObserved(const double R[3][3], const double t[3], const CameraParam& camera, const double M[3],
                     double out[2]) {
    double X[3];
    for (int r = 0; r < 3; ++r) X[r] = R[r][0] * M[0] + R[r][1] * M[1] + R[r][2] * M[2] + t[r];
    const double(*P)[4] = camera.projection;
    const double h = P[2][0] * X[0] + P[2][1] * X[1] + P[2][2] * X[2] + P[2][3];
    const double x = (P[0][0] * X[0] + P[0][1] * X[1] + P[0][2] * X[2] + P[0][3]) / h;
    const double y = (P[1][0] * X[0] + P[1][1] * X[1] + P[1][2] * X[2] + P[1][3]) / h;
    idealToObserved(camera.distortion, x, y, &out[0], &out[1]);
}

// Pose moved by the 6-vector d: a turn by the rotation vector d[0..2] (on
// the left of R) and a shift of t by d[3..5].
void movePose(const double R[3][3], const double t[3], const double d[6], double R2[3][3], double t2[3]) {
    const double angle = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    double turn[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    if (angle > 0.0) {
        const double k[3] = {d[0] / angle, d[1] / angle, d[2] / angle};
        const double c = std::cos(angle), s = std::sin(angle), v = 1 - c;
        turn[0][0] = c + k[0] * k[0] * v, turn[0][1] = k[0] * k[1] * v - k[2] * s, turn[0][2] = k[0] * k[2] * v + k[1] * s;
        turn[1][0] = k[1] * k[0] * v + k[2] * s, turn[1][1] = c + k[1] * k[1] * v, turn[1][2] = k[1] * k[2] * v - k[0] * s;
        turn[2][0] = k[2] * k[0] * v - k[1] * s, turn[2][1] = k[2] * k[1] * v + k[0] * s, turn[2][2] = c + k[2] * k[2] * v;
    }
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) R2[r][c] = turn[r][0] * R[0][c] + turn[r][1] * R[1][c] + turn[r][2] * R[2][c];
        t2[r] = t[r] + d[3 + r];
    }
}

double squaredReprojection(const double R[3][3], const double t[3], const CameraParam& camera,
                           const double model[][3], const double observed[][2], int n, double* residual) {
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        double q[2];
        projectObserved(R, t, camera, model[i], q);
        const double dx = observed[i][0] - q[0], dy = observed[i][1] - q[1];
        if (residual) residual[2 * i] = dx, residual[2 * i + 1] = dy;
        sum += dx * dx + dy * dy;
    }
    return sum;
}

constexpr int kPolishIterations = 12;

// Levenberg-Marquardt on the six pose parameters from the angle search's
// result: the search's smallest step (about a hundredth of a degree, reached
// only when the centre keeps winning) leaves the rotation stepwise, which
// shows as jitter once the corners are sub-pixel. The error is that of
// refineRotation, the mean squared observed-pixel error per point.
double polishPose(double R[3][3], double t[3], const double image[][2], const double model[][3], int n) {
    const CameraParam& camera = detectorState().camera.param;
    double (*observed)[2] = detectorState().poseImage;
    for (int i = 0; i < n; ++i)
        idealToObserved(camera.distortion, image[i][0], image[i][1], &observed[i][0], &observed[i][1]);
    // The parameters move the search's pose: a turn in radians and a shift
    // in units of the depth, so that the fit's difference steps are a
    // microradian and a micrometre per metre.
    const double depth = std::fabs(t[2]) > 1.0 ? std::fabs(t[2]) : 1.0;
    double start[3][3], startT[3];
    std::memcpy(start, R, sizeof start);
    std::memcpy(startT, t, sizeof startT);
    const auto moved = [&](const std::vector<double>& p, double R2[3][3], double t2[3]) {
        const double d[6] = {p[0], p[1], p[2], p[3] * depth, p[4] * depth, p[5] * depth};
        movePose(start, startT, d, R2, t2);
    };
    const double before = squaredReprojection(R, t, camera, model, observed, n, nullptr);
    std::vector<double> p(6, 0.0);
    const double after = fitLeastSquares(
        [&](const std::vector<double>& q, std::vector<double>& residual) {
            double R2[3][3], t2[3];
            moved(q, R2, t2);
            residual.resize(2 * static_cast<size_t>(n));
            squaredReprojection(R2, t2, camera, model, observed, n, residual.data());
        },
        p, kPolishIterations);
    if (!(after < before)) return before / n;
    moved(p, R, t);
    return after / n;
}

} // namespace

double refineRotation(double R[3][3], const double t[3], const double P[3][4], const double model[][3],
                      const double observed[][2], int n) {
    return searchRotation<false>(R, t, P, model, observed, n, nullptr);
}

double solvePose(double R[3][3], double t[3], const double image[][2], const double model[][3], int n) {
    const CameraParam& camera = detectorState().camera.param;
    double (*observed)[2] = detectorState().poseImage;
    for (int i = 0; i < n; ++i)
        idealToObserved(camera.distortion, image[i][0], image[i][1], &observed[i][0], &observed[i][1]);

    if (isIdentityDistortion(camera.distortion)) {
        solveTranslation(R, camera.projection, model, observed, n, t);
        refineRotation(R, t, camera.projection, model, observed, n);
        solveTranslation(R, camera.projection, model, observed, n, t);
        return refineRotation(R, t, camera.projection, model, observed, n);
    }
    // Observed points belong to the lens, not to the pinhole: the linear
    // translation is solved where the pinhole holds, on the ideal points, and
    // the final search compares each trial projection after the lens has
    // bent it. Fitting observed points with the bare pinhole cost several per
    // cent of the distance and up to 20 degrees under strong distortion. The
    // first search only brings the rotation near and runs on the ideal
    // points, which spares half the lens mappings.
    const LensMap lens(camera.distortion);
    solveTranslation(R, camera.projection, model, image, n, t);
    refineRotation(R, t, camera.projection, model, image, n);
    solveTranslation(R, camera.projection, model, image, n, t);
    return searchRotation<true>(R, t, camera.projection, model, observed, n, &lens);
}

int orientEdgeDirection(double g[3], const double start[2], const double end[2], const double P[3][4]) {
    Matrix* inverse = allocMatrix(3, 3);
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) at(inverse, r, c) = P[r][c];
    invertMatrixInPlace(inverse);
    const double ray[3] = {kBackProjectDepth * start[0], kBackProjectDepth * start[1], kBackProjectDepth};
    double X0[3], X1[3];
    for (int r = 0; r < 3; ++r) {
        X0[r] = at(inverse, r, 0) * ray[0] + at(inverse, r, 1) * ray[1] + at(inverse, r, 2) * ray[2];
        X1[r] = X0[r] + g[r];
    }
    freeMatrix(inverse);

    double image[2][2];
    const double* points[2] = {X0, X1};
    for (int i = 0; i < 2; ++i) {
        const double* X = points[i];
        const double h = P[2][0] * X[0] + P[2][1] * X[1] + P[2][2] * X[2];
        if (h == 0.0) return -1;
        image[i][0] = (P[0][0] * X[0] + P[0][1] * X[1] + P[0][2] * X[2]) / h;
        image[i][1] = (P[1][0] * X[0] + P[1][1] * X[1] + P[1][2] * X[2]) / h;
    }
    const double along = (end[0] - start[0]) * (image[1][0] - image[0][0]) +
                         (end[1] - start[1]) * (image[1][1] - image[0][1]);
    if (along < 0) {
        g[0] = -g[0];
        g[1] = -g[1];
        g[2] = -g[2];
    }
    return 0;
}

int orthogonaliseDirections(double a[3], double b[3]) {
    double m[3];
    cross(a, b, m);
    const double len = std::sqrt(dot3(m, m));
    if (len == 0.0) return -1;
    m[0] /= len, m[1] /= len, m[2] /= len;

    // Each input turns towards the other's normal by the same angle.
    const double ca = std::fabs(dot3(a, b));
    const double cb = (std::sqrt(1.0 - ca) + std::sqrt(1.0 + ca)) * 0.5;
    double ua[2][3], ub[2][3];
    if (perpendicularCandidates(a, m, cb, ua) < 0) return -1;
    if (perpendicularCandidates(b, m, cb, ub) < 0) return -1;

    const double* pairs[4][2] = {{ua[0], ub[0]}, {ua[0], ub[1]}, {ua[1], ub[0]}, {ua[1], ub[1]}};
    int chosen = 0;
    double smallest = std::fabs(dot3(pairs[0][0], pairs[0][1]));
    for (int i = 1; i < 4; ++i) {
        const double d = std::fabs(dot3(pairs[i][0], pairs[i][1]));
        if (d <= smallest) {
            smallest = d;
            chosen = i;
        }
    }
    double newA[3], newB[3];
    std::memcpy(newA, pairs[chosen][0], sizeof newA);
    std::memcpy(newB, pairs[chosen][1], sizeof newB);
    std::memcpy(a, newA, sizeof newA);
    std::memcpy(b, newB, sizeof newB);
    return 0;
}

int initialRotation(const MarkerInfo& marker, const double P[3][4], double R[3][3]) {
    const int d = marker.dir < 0 ? 0 : marker.dir;
    double g[2][3];
    // Opposite edges meet at a vanishing point; its back-projected ray is the
    // direction of those edges in camera space.
    for (int j = 0; j < 2; ++j) {
        const double* L1 = marker.line[(4 - d + j) % 4];
        const double* L2 = marker.line[(6 - d + j) % 4];
        const double w1 = L1[0] * L2[1] - L2[0] * L1[1];
        const double w2 = L1[1] * L2[2] - L2[1] * L1[2];
        const double w3 = L1[2] * L2[0] - L2[2] * L1[0];
        g[j][0] = w1 * (P[0][1] * P[1][2] - P[0][2] * P[1][1]) + w2 * P[1][1] - w3 * P[0][1];
        g[j][1] = w3 * P[0][0] - w1 * P[0][0] * P[1][2];
        g[j][2] = w1 * P[0][0] * P[1][1];
        // Coinciding lines have no vanishing point at all.
        if (!normalise(g[j])) return -1;
    }
    if (orientEdgeDirection(g[0], marker.vertex[(4 - d) % 4], marker.vertex[(5 - d) % 4], P) < 0) return -1;
    if (orientEdgeDirection(g[1], marker.vertex[(7 - d) % 4], marker.vertex[(4 - d) % 4], P) < 0) return -1;
    if (orthogonaliseDirections(g[0], g[1]) < 0) return -1;
    double g2[3];
    cross(g[0], g[1], g2);
    if (!normalise(g2)) return -1;
    for (int r = 0; r < 3; ++r) {
        R[r][0] = g[0][r];
        R[r][1] = g[1][r];
        R[r][2] = g2[r];
    }
    return 0;
}

double estimateMarkerPose(const MarkerInfo& marker, const double centre[2], double width,
                          double transform[3][4]) {
    const CameraParam& camera = detectorState().camera.param;
    double R[3][3];
    if (initialRotation(marker, camera.projection, R) < 0) {
        std::memset(transform, 0, sizeof(double) * 12);
        return -1.0;
    }
    // An unidentified marker (dir -1) is solved in its own corner order.
    const int d = marker.dir < 0 ? 0 : marker.dir;
    double image[4][2];
    for (int k = 0; k < 4; ++k) {
        image[k][0] = marker.vertex[(4 + k - d) % 4][0];
        image[k][1] = marker.vertex[(4 + k - d) % 4][1];
    }
    const double w = width / 2.0;
    const double cx = centre[0], cy = centre[1];
    const double model[4][3] = {{cx - w, cy + w, 0.0}, {cx + w, cy + w, 0.0}, {cx + w, cy - w, 0.0},
                                {cx - w, cy - w, 0.0}};

    double t[3] = {0.0, 0.0, 0.0};
    double error = 0.0;
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        error = centredSolve(R, t, image, model, 4);
        if (error < kGoodEnoughError) break;
    }
    // With sub-pixel corners the angle search's step would limit the
    // rotation; the opt-in refinement finishes the fit.
    if (detectorState().options.cornerRefine) error = polishPose(R, t, image, model, 4);
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) transform[r][c] = R[r][c];
        transform[r][3] = t[r];
    }
    return error;
}
