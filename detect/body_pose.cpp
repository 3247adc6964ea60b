#include "body_pose.h"
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include "camera_param.h"
#include "pose_fit_limits.h"

namespace {

struct Observation {
    size_t member = 0;
    double model[4][3] = {};    // body frame, mm
    double observed[4][2] = {}; // observed pixels
    double sidePx = 0.0;
    double normal[3] = {};      // body frame, the printed side's
    double centre[3] = {};      // body frame, mm
    RigidPose start;            // body to camera by this member's own pose
};

// How far a member's corners are trusted under `pose`: the cosine of the
// angle between its normal and the line of sight to it. A square seen at a
// slant is foreshortened by that cosine, and its corners' error grows about
// as its side shrinks (three times past 70 degrees on sub-pixel corners,
// over ten past 80), so its residuals count by the cosine.
double facingCosine(const RigidPose& pose, const Observation& o) {
    double n[3], c[3];
    for (int r = 0; r < 3; ++r) n[r] = pose.R[r][0] * o.normal[0] + pose.R[r][1] * o.normal[1] + pose.R[r][2] * o.normal[2];
    transformPoint(pose, o.centre, c);
    const double len = std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
    const double cosine = len > 0.0 ? std::fabs(n[0] * c[0] + n[1] * c[1] + n[2] * c[2]) / len : 1.0;
    return std::max(kLeastFacingCosine, cosine);
}

// Observed pixel of body point p under `pose`; false behind the camera.
bool projectObserved(const CameraParam& camera, const RigidPose& pose, const double p[3], double out[2]) {
    double X[3];
    transformPoint(pose, p, X);
    const double(*P)[4] = camera.projection;
    const double h = P[2][0] * X[0] + P[2][1] * X[1] + P[2][2] * X[2] + P[2][3];
    if (!(h > 0.0) || !(X[2] > 0.0)) return false;
    const double x = (P[0][0] * X[0] + P[0][1] * X[1] + P[0][2] * X[2] + P[0][3]) / h;
    const double y = (P[1][0] * X[0] + P[1][1] * X[1] + P[1][2] * X[2] + P[1][3]) / h;
    // idealToObserved, written out: this runs for every corner of every
    // start and every fit.
    const double x0 = camera.distortion[0], y0 = camera.distortion[1];
    const double radial = camera.distortion[2] / kRadialFactorScale, s = camera.distortion[3];
    const double dx = (x - x0) * s, dy = (y - y0) * s;
    const double d = 1.0 - radial * (dx * dx + dy * dy);
    out[0] = x0 + dx * d;
    out[1] = y0 + dy * d;
    return std::isfinite(out[0]) && std::isfinite(out[1]);
}

// Mean squared corner distance of one member under `pose`, observed pixels.
double meanSquaredError(const CameraParam& camera, const RigidPose& pose, const Observation& o) {
    double sum = 0.0;
    for (int k = 0; k < 4; ++k) {
        double q[2];
        if (!projectObserved(camera, pose, o.model[k], q)) return kHuge;
        const double dx = o.observed[k][0] - q[0], dy = o.observed[k][1] - q[1];
        sum += dx * dx + dy * dy;
    }
    return sum / 4;
}

bool isRotation(const double R[3][3]) {
    const double det = R[0][0] * (R[1][1] * R[2][2] - R[1][2] * R[2][1]) -
                       R[0][1] * (R[1][0] * R[2][2] - R[1][2] * R[2][0]) +
                       R[0][2] * (R[1][0] * R[2][1] - R[1][1] * R[2][0]);
    return std::fabs(det - 1.0) < 1e-3;
}

} // namespace

RigidPose mirroredMarkerPose(const RigidPose& marker) {
    const double len = std::sqrt(marker.t[0] * marker.t[0] + marker.t[1] * marker.t[1] + marker.t[2] * marker.t[2]);
    const double u[3] = {-marker.t[0] / len, -marker.t[1] / len, -marker.t[2] / len};
    const double n[3] = {marker.R[0][2], marker.R[1][2], marker.R[2][2]};
    const double along = n[0] * u[0] + n[1] * u[1] + n[2] * u[2];
    const double m[3] = {2 * along * u[0] - n[0], 2 * along * u[1] - n[1], 2 * along * u[2] - n[2]};
    double axis[3] = {n[1] * m[2] - n[2] * m[1], n[2] * m[0] - n[0] * m[2], n[0] * m[1] - n[1] * m[0]};
    const double s = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
    RigidPose out = marker;
    if (s < 1e-9) return out;
    const double angle = std::atan2(s, n[0] * m[0] + n[1] * m[1] + n[2] * m[2]);
    for (double& a : axis) a *= angle / s;
    turnRotation(axis, marker.R, out.R);
    return out;
}

namespace {

// Observed-pixel residuals (observed minus projected) of the members `used`
// under `pose`, into r (8 a member); with J, also each residual's
// derivatives by a turn of the pose (radians, applied on the left) and a
// shift (mm). False when a corner falls behind the camera.
bool projectResiduals(const CameraParam& camera, const std::vector<Observation>& obs, const std::vector<size_t>& used,
                      const double* weight, const RigidPose& pose, double* r, std::array<double, 6>* J) {
    const double(*P)[4] = camera.projection;
    const double x0 = camera.distortion[0], y0 = camera.distortion[1];
    const double p = camera.distortion[2] / kRadialFactorScale, s = camera.distortion[3];
    for (size_t i = 0; i < used.size(); ++i) {
        const Observation& o = obs[used[i]];
        for (int k = 0; k < 4; ++k, r += 2) {
            double X[3];
            transformPoint(pose, o.model[k], X);
            const double h = P[2][0] * X[0] + P[2][1] * X[1] + P[2][2] * X[2] + P[2][3];
            if (!(h > 0.0) || !(X[2] > 0.0)) return false;
            const double ix = (P[0][0] * X[0] + P[0][1] * X[1] + P[0][2] * X[2] + P[0][3]) / h;
            const double iy = (P[1][0] * X[0] + P[1][1] * X[1] + P[1][2] * X[2] + P[1][3]) / h;
            // idealToObserved, written out for its derivative.
            const double dx = (ix - x0) * s, dy = (iy - y0) * s;
            const double d = 1.0 - p * (dx * dx + dy * dy);
            const double w = weight[i];
            r[0] = w * (o.observed[k][0] - (x0 + dx * d));
            r[1] = w * (o.observed[k][1] - (y0 + dy * d));
            if (!std::isfinite(r[0]) || !std::isfinite(r[1])) return false;
            if (!J) continue;
            // Observed by ideal pixels, ideal pixels by the camera point.
            const double D[2][2] = {{s * (d - 2 * p * dx * dx), -2 * s * p * dx * dy},
                                    {-2 * s * p * dx * dy, s * (d - 2 * p * dy * dy)}};
            double G[2][3];
            for (int c = 0; c < 3; ++c) {
                const double gx = (P[0][c] - ix * P[2][c]) / h, gy = (P[1][c] - iy * P[2][c]) / h;
                G[0][c] = D[0][0] * gx + D[0][1] * gy;
                G[1][c] = D[1][0] * gx + D[1][1] * gy;
            }
            // A turn w moves X by w x (X - t); a shift moves it as itself.
            const double a[3] = {X[0] - pose.t[0], X[1] - pose.t[1], X[2] - pose.t[2]};
            for (int row = 0; row < 2; ++row) {
                double* j = J[8 * i + 2 * k + row].data();
                const double* g = G[row];
                j[0] = -(g[2] * a[1] - g[1] * a[2]);
                j[1] = -(g[0] * a[2] - g[2] * a[0]);
                j[2] = -(g[1] * a[0] - g[0] * a[1]);
                for (int c = 0; c < 3; ++c) j[3 + c] = -g[c];
                for (int c = 0; c < 6; ++c) j[c] *= w;
            }
        }
    }
    return true;
}

// Solves the 6 x 6 symmetric system A x = b by Cholesky; false when A is
// not positive definite.
bool solveSix(double A[6][6], const double b[6], double x[6]) {
    for (int j = 0; j < 6; ++j) {
        double d = A[j][j];
        for (int k = 0; k < j; ++k) d -= A[j][k] * A[j][k];
        if (!(d > 0.0)) return false;
        A[j][j] = std::sqrt(d);
        for (int i = j + 1; i < 6; ++i) {
            double v = A[i][j];
            for (int k = 0; k < j; ++k) v -= A[i][k] * A[j][k];
            A[i][j] = v / A[j][j];
        }
    }
    for (int i = 0; i < 6; ++i) {
        x[i] = b[i];
        for (int k = 0; k < i; ++k) x[i] -= A[i][k] * x[k];
        x[i] /= A[i][i];
    }
    for (int i = 5; i >= 0; --i) {
        for (int k = i + 1; k < 6; ++k) x[i] -= A[k][i] * x[k];
        x[i] /= A[i][i];
    }
    return true;
}

RigidPose stepped(const RigidPose& pose, const double step[6]) {
    RigidPose q = pose;
    turnRotation(step, pose.R, q.R);
    for (int r = 0; r < 3; ++r) q.t[r] = pose.t[r] + step[3 + r];
    return q;
}

// Levenberg-Marquardt over the members `used` from `pose`, which becomes
// the fit. The body runs it several times a frame, so its derivatives are
// exact rather than differences: a third of the projections.
void polish(const CameraParam& camera, const std::vector<Observation>& obs, const std::vector<size_t>& used,
            RigidPose& pose) {
    const size_t m = 8 * used.size();
    // The fit runs several times a body and frame: its buffers are kept.
    thread_local std::vector<double> r, trial;
    thread_local std::vector<std::array<double, 6>> J, trialJ;
    r.resize(m), trial.resize(m), J.resize(m), trialJ.resize(m);
    const auto sumOfSquares = [](const std::vector<double>& v) {
        double sum = 0.0;
        for (const double e : v) sum += e * e;
        return sum;
    };
    // Weights from the start: a step turns a member by far less than
    // changes its trust.
    thread_local std::vector<double> weight;
    weight.clear();
    for (size_t i : used) weight.push_back(facingCosine(pose, obs[i]));
    if (!projectResiduals(camera, obs, used, weight.data(), pose, r.data(), J.data())) return;
    double cost = sumOfSquares(r), lambda = 1e-3;
    for (int it = 0; it < kPolishIterations && cost > 0.0; ++it) {
        double JtJ[6][6] = {}, Jtr[6] = {};
        for (size_t i = 0; i < m; ++i)
            for (int a = 0; a < 6; ++a) {
                Jtr[a] -= J[i][a] * r[i];
                for (int b = 0; b <= a; ++b) JtJ[a][b] += J[i][a] * J[i][b];
            }
        bool improved = false;
        while (!improved && lambda < 1e12) {
            double A[6][6], step[6];
            for (int a = 0; a < 6; ++a)
                for (int b = 0; b <= a; ++b) A[a][b] = A[b][a] = JtJ[a][b];
            // A direction the residuals do not feel is held by the damping alone.
            for (int j = 0; j < 6; ++j) A[j][j] = A[j][j] > 0.0 ? A[j][j] * (1.0 + lambda) : lambda;
            if (!solveSix(A, Jtr, step)) {
                lambda *= 10;
                continue;
            }
            const RigidPose next = stepped(pose, step);
            double nextCost = std::numeric_limits<double>::infinity();
            // The trial's derivatives are taken with it: most steps are kept.
            if (projectResiduals(camera, obs, used, weight.data(), next, trial.data(), trialJ.data()))
                nextCost = sumOfSquares(trial);
            if (nextCost < cost) {
                // A millionth of the sum moves the pose by about a
                // thousandth of its own uncertainty from the corners' noise.
                const bool converged = cost - nextCost < 1e-6 * cost;
                pose = next;
                cost = nextCost;
                lambda = std::max(1e-9, lambda / 10);
                improved = true;
                if (converged) return;
                r.swap(trial);
                J.swap(trialJ);
            } else {
                lambda *= 10;
            }
        }
        if (!improved) return;
    }
}

// Square and side of a sighting's corners (ideal pixels): false when seen edge-on.
bool facesCamera(const double corner[4][2], double& sidePx) {
    double area = 0.0, longest = 0.0, sum = 0.0;
    for (int k = 0; k < 4; ++k) {
        const double* a = corner[k];
        const double* b = corner[(k + 1) % 4];
        area += a[0] * b[1] - b[0] * a[1];
        const double edge = std::hypot(b[0] - a[0], b[1] - a[1]);
        longest = std::max(longest, edge);
        sum += edge;
    }
    sidePx = sum / 4;
    return std::isfinite(area) && std::fabs(area) / 2 >= kEdgeOnAreaShare * longest * longest && longest > 0;
}

// Each member's mean squared corner error under one pose. A fit is judged
// several ways at the pose it ends on (who agrees, its score, its RMS), so
// its corners are projected once for all of them.
using MemberErrors = std::vector<double>;

void errorsAt(const CameraParam& camera, const RigidPose& pose, const std::vector<Observation>& obs,
              MemberErrors& errors) {
    errors.resize(obs.size());
    for (size_t i = 0; i < obs.size(); ++i) errors[i] = meanSquaredError(camera, pose, obs[i]);
}

// RMS corner distance of the members `used`, observed pixels.
double rmsOf(const MemberErrors& errors, const std::vector<size_t>& used) {
    double sum = 0.0;
    for (size_t i : used) sum += errors[i];
    return used.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(used.size()));
}

// Corners all near one line (or too few to span a plane's image) hold no pose.
bool spreadsOverTheImage(const std::vector<Observation>& obs, const std::vector<size_t>& used) {
    double mean[2] = {0, 0};
    const double n = 4.0 * used.size();
    for (size_t i : used)
        for (int k = 0; k < 4; ++k) mean[0] += obs[i].observed[k][0] / n, mean[1] += obs[i].observed[k][1] / n;
    double sxx = 0, syy = 0, sxy = 0;
    for (size_t i : used)
        for (int k = 0; k < 4; ++k) {
            const double dx = obs[i].observed[k][0] - mean[0], dy = obs[i].observed[k][1] - mean[1];
            sxx += dx * dx / n, syy += dy * dy / n, sxy += dx * dy / n;
        }
    const double smallest = (sxx + syy) / 2 - std::sqrt((sxx - syy) * (sxx - syy) / 4 + sxy * sxy);
    return smallest >= kLineSpreadPx * kLineSpreadPx;
}

// Sum over members of their mean squared error, each at most cap^2: a
// member far off costs the same however far, so it cannot steer the choice.
double truncatedScore(const MemberErrors& errors, double cap) {
    double score = 0.0;
    for (const double e : errors) score += std::min(e, cap * cap);
    return score;
}

std::vector<size_t> agreeing(const MemberErrors& errors, double limitPx) {
    std::vector<size_t> used;
    for (size_t i = 0; i < errors.size(); ++i)
        if (errors[i] <= limitPx * limitPx) used.push_back(i);
    return used;
}

// Starts from the best-explaining member's pose and polishes on the members
// that agree with it; then drops the worst member while it disagrees, and
// takes back any member the final fit explains.
// `errors` are the members' at the pose returned.
RigidPose robustFit(const CameraParam& camera, const std::vector<Observation>& obs, const RigidPose& start,
                    size_t startMember, double tightPx, double loosePx, std::vector<size_t>& used,
                    MemberErrors& errors) {
    RigidPose pose = start;
    errorsAt(camera, pose, obs, errors);
    used = agreeing(errors, loosePx);
    if (used.empty()) used.push_back(startMember);
    polish(camera, obs, used, pose);
    errorsAt(camera, pose, obs, errors);
    for (size_t round = 0; round < obs.size() && used.size() > 1; ++round) {
        size_t worst = 0;
        double worstError = -1.0;
        for (size_t k = 0; k < used.size(); ++k)
            if (errors[used[k]] > worstError) worstError = errors[used[k]], worst = k;
        if (worstError <= tightPx * tightPx) break;
        used.erase(used.begin() + static_cast<long>(worst));
        polish(camera, obs, used, pose);
        errorsAt(camera, pose, obs, errors);
    }
    const std::vector<size_t> all = agreeing(errors, tightPx);
    if (all.size() > used.size()) {
        used = all;
        polish(camera, obs, used, pose);
        errorsAt(camera, pose, obs, errors);
    }
    return pose;
}

// From one member's pose alone, takes in the members its fit explains
// until no more join: what robustFit cannot do when a moved member stays
// within the loose limit of the start and pulls the first fit its way.
RigidPose growingFit(const CameraParam& camera, const std::vector<Observation>& obs, const RigidPose& start,
                     size_t startMember, double tightPx, std::vector<size_t>& used, MemberErrors& errors) {
    RigidPose pose = start;
    used = {startMember};
    errorsAt(camera, pose, obs, errors);
    for (size_t round = 0; round < obs.size(); ++round) {
        std::vector<size_t> all = agreeing(errors, tightPx);
        if (std::find(all.begin(), all.end(), startMember) == all.end()) all.push_back(startMember);
        if (all.size() <= used.size()) break;
        used = all;
        polish(camera, obs, used, pose);
        errorsAt(camera, pose, obs, errors);
    }
    return pose;
}

} // namespace

RigidPose memberPose(const BodyMember& m) { return poseFromQuaternion(m.QW, m.QX, m.QY, m.QZ, m.X, m.Y, m.Z); }

void setMemberPose(BodyMember& member, const RigidPose& pose) {
    double q[4];
    quaternionOf(pose.R, q);
    member.poseKnown = true;
    member.QW = q[0], member.QX = q[1], member.QY = q[2], member.QZ = q[3];
    member.X = pose.t[0], member.Y = pose.t[1], member.Z = pose.t[2];
}

void memberCorners(const BodyMember& member, double corners[4][3]) {
    const RigidPose pose = memberPose(member);
    const double w = member.widthMm / 2;
    const double model[4][3] = {{-w, w, 0}, {w, w, 0}, {w, -w, 0}, {-w, -w, 0}};
    for (int k = 0; k < 4; ++k) transformPoint(pose, model[k], corners[k]);
}

bool fitBodyPose(const Body& body, const std::vector<MemberSighting>& sightings, const CameraParam& camera,
                 BodyPose& result, const RigidPose* previous) {
    std::vector<Observation> obs;
    std::vector<bool> rejected(body.members.size(), false), seen(body.members.size(), false);
    for (const MemberSighting& s : sightings) {
        if (s.member >= body.members.size() || !body.members[s.member].poseKnown) continue;
        seen[s.member] = true;
        Observation o;
        o.member = s.member;
        if (!facesCamera(s.corner, o.sidePx) || !isRotation(s.markerPose.R)) {
            rejected[s.member] = true;
            continue;
        }
        memberCorners(body.members[s.member], o.model);
        const RigidPose member = memberPose(body.members[s.member]);
        for (int r = 0; r < 3; ++r) o.normal[r] = member.R[r][2], o.centre[r] = member.t[r];
        for (int k = 0; k < 4; ++k)
            idealToObserved(camera.distortion, s.corner[k][0], s.corner[k][1], &o.observed[k][0], &o.observed[k][1]);
        o.start = composePoses(s.markerPose, inversePose(member));
        obs.push_back(o);
    }
    if (obs.empty()) return false;

    std::vector<double> sides;
    for (const Observation& o : obs) sides.push_back(o.sidePx);
    std::nth_element(sides.begin(), sides.begin() + static_cast<long>(sides.size() / 2), sides.end());
    const double side = sides[sides.size() / 2];
    const double tightPx = std::max(kMemberTightPx, kMemberAgreeShare * side);
    const double loosePx = std::max(tightPx, kStartAgreeShare * side);

    // A lone member keeps its own pose as the start, unless the frame
    // before can tell its mirror from it. With others in view the mirrors
    // are starts too.
    const bool lone = obs.size() == 1;
    std::vector<Observation> starts = obs;
    if (!lone || previous)
        for (const Observation& o : obs) {
            Observation m = o;
            const RigidPose marker = composePoses(o.start, memberPose(body.members[o.member]));
            m.start = composePoses(mirroredMarkerPose(marker), inversePose(memberPose(body.members[o.member])));
            starts.push_back(m);
        }
    std::vector<std::pair<double, size_t>> ranked;
    MemberErrors errors;
    for (size_t i = 0; i < starts.size(); ++i) {
        errorsAt(camera, starts[i].start, obs, errors);
        ranked.emplace_back(truncatedScore(errors, loosePx), i);
    }
    std::sort(ranked.begin(), ranked.end());

    // The two best distinct starts are both finished: when the members are
    // few and far, the best start can lie in the other pose's valley.
    RigidPose best;
    std::vector<size_t> bestUsed;
    MemberErrors bestErrors;
    double bestScore = std::numeric_limits<double>::infinity();
    std::vector<RigidPose> triedStarts;
    // Members that disagree cost as much as a member may be off, so
    // explaining more members wins over a closer fit of fewer. A lone
    // member's fits that explain it are told apart by the frame before:
    // nearer it wins, ahead of any fit that does not explain the member.
    const auto consider = [&](const RigidPose& pose, const std::vector<size_t>& used, const MemberErrors& errors) {
        double score = truncatedScore(errors, tightPx);
        if (lone && previous && errors[0] <= tightPx * tightPx)
            score = rotationBetween(previous->R, pose.R) - 4.0;  // below zero: a turn is at most pi
        if (!used.empty() && score < bestScore) bestScore = score, best = pose, bestUsed = used, bestErrors = errors;
    };
    const auto finish = [&](size_t entry) {
        const RigidPose& start = starts[entry].start;
        for (const RigidPose& t : triedStarts)
            if (rotationBetween(t.R, start.R) <= kDistinctStartRad) return false;
        triedStarts.push_back(start);
        std::vector<size_t> used;
        const RigidPose pose = robustFit(camera, obs, start, entry % obs.size(), tightPx, loosePx, used, errors);
        consider(pose, used, errors);
        return true;
    };
    int tried = 0;
    for (size_t k = 0; k < ranked.size() && tried < 2; ++k) tried += finish(ranked[k].second);
    // A member that moved, or a flat body's mirror, can rank above the
    // true pose's starts when the members are few and seen aslant. A fit
    // that leaves a member out or explains its members poorly (rare: a
    // member displaced or misidentified) is checked against every start.
    if (bestUsed.size() < obs.size() || rmsOf(bestErrors, bestUsed) > kWellExplainedShare * tightPx) {
        for (const auto& entry : ranked) finish(entry.second);
        for (size_t entry = 0; entry < starts.size(); ++entry) {
            std::vector<size_t> used;
            const RigidPose pose =
                growingFit(camera, obs, starts[entry].start, entry % obs.size(), tightPx, used, errors);
            consider(pose, used, errors);
        }
    }
    if (bestUsed.empty() || !spreadsOverTheImage(obs, bestUsed)) return false;

    const double rms = rmsOf(bestErrors, bestUsed);
    if (!std::isfinite(rms) || rms * rms >= kHuge) return false;

    std::vector<bool> used(body.members.size(), false);
    for (size_t i : bestUsed) used[obs[i].member] = true;
    result = BodyPose{};
    result.name = body.name;
    result.pose = best;
    quaternionOf(best.R, result.quaternion);
    poseToGlMatrix(best, result.glMatrix);
    for (size_t m = 0; m < body.members.size(); ++m) {
        if (used[m]) result.members.push_back(body.members[m].pattern);
        else if (seen[m] || rejected[m]) result.rejected.push_back(body.members[m].pattern);
    }
    result.rmsPx = rms;
    return true;
}

BodyTable fitBodies(const std::vector<Body>& bodies, const ResultTable& markers, const CameraParam& camera,
                    const BodyTable* previous) {
    BodyTable table;
    for (const Body& body : bodies) {
        if (!body.tracked()) continue;
        const RigidPose* before = nullptr;
        if (previous)
            for (const BodyPose& p : *previous)
                if (p.name == body.name) before = &p.pose;
        std::vector<MemberSighting> sightings;
        std::vector<double> confidence;
        for (const MarkerResult& r : markers) {
            for (size_t m = 0; m < body.members.size(); ++m) {
                if (body.members[m].patternId != r.patternId) continue;
                MemberSighting s;
                s.member = m;
                s.markerPose = poseFromGlMatrix(r.glMatrix);
                for (int k = 0; k < 4; ++k) s.corner[k][0] = r.vertex[k][0], s.corner[k][1] = r.vertex[k][1];
                // A pattern seen twice is one member: the surer match stands for it.
                size_t i = 0;
                while (i < sightings.size() && sightings[i].member != m) ++i;
                if (i == sightings.size()) {
                    sightings.push_back(s);
                    confidence.push_back(r.cf);
                } else if (r.cf > confidence[i]) {
                    sightings[i] = s;
                    confidence[i] = r.cf;
                }
            }
        }
        BodyPose pose;
        if (!sightings.empty() && fitBodyPose(body, sightings, camera, pose, before)) table.push_back(pose);
    }
    return table;
}
