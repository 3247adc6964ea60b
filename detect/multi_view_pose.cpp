#include "multi_view_pose.h"
#include <algorithm>
#include <cmath>
#include <limits>
#include <opencv2/calib3d.hpp>
#include "body_pose.h"
#include "camera_param.h"
#include "pose_fit_limits.h"
#include "least_squares.h"

namespace {

struct Observation {
    size_t view = 0, member = 0;
    double model[4][3] = {};      // object frame, mm
    double observed[4][2] = {};   // ideal pixels
    double tightPx = 0.0, loosePx = 0.0;
};

struct Setting {
    const std::vector<WorldView>& views;
    std::vector<RigidPose> worldToCamera;
    std::vector<Observation> obs;
};

bool projectIdeal(const double P[3][4], const RigidPose& objectToCamera, const double p[3], double out[2]) {
    double X[3];
    transformPoint(objectToCamera, p, X);
    const double h = P[2][0] * X[0] + P[2][1] * X[1] + P[2][2] * X[2] + P[2][3];
    if (!(h > 0.0) || !(X[2] > 0.0)) return false;
    out[0] = (P[0][0] * X[0] + P[0][1] * X[1] + P[0][2] * X[2] + P[0][3]) / h;
    out[1] = (P[1][0] * X[0] + P[1][1] * X[1] + P[1][2] * X[2] + P[1][3]) / h;
    return std::isfinite(out[0]) && std::isfinite(out[1]);
}

// Fills 8 residuals of `o` under the object's world pose; a corner behind
// the camera counts as far off, so the fit turns back.
void residualsOf(const Setting& s, const RigidPose& objectToWorld, const Observation& o, double* out) {
    const RigidPose inCamera = composePoses(s.worldToCamera[o.view], objectToWorld);
    for (int k = 0; k < 4; ++k) {
        double x[2];
        if (!projectIdeal(s.views[o.view].projection, inCamera, o.model[k], x)) x[0] = x[1] = kHuge;
        out[2 * k] = o.observed[k][0] - x[0];
        out[2 * k + 1] = o.observed[k][1] - x[1];
    }
}

double meanSquaredError(const Setting& s, const RigidPose& pose, const Observation& o) {
    double r[8];
    residualsOf(s, pose, o, r);
    double sum = 0.0;
    for (double v : r) sum += v * v;
    return std::min(sum / 4, kHuge);
}

// Sightings each count at most 1, in units of their own agreement limit:
// views of very different scale weigh alike, and one far off cannot steer.
double truncatedScore(const Setting& s, const RigidPose& pose, bool loose) {
    double score = 0.0;
    for (const Observation& o : s.obs) {
        const double limit = loose ? o.loosePx : o.tightPx;
        score += std::min(meanSquaredError(s, pose, o) / (limit * limit), 1.0);
    }
    return score;
}

std::vector<size_t> agreeing(const Setting& s, const RigidPose& pose, bool loose) {
    std::vector<size_t> used;
    for (size_t i = 0; i < s.obs.size(); ++i) {
        const double limit = loose ? s.obs[i].loosePx : s.obs[i].tightPx;
        if (meanSquaredError(s, pose, s.obs[i]) <= limit * limit) used.push_back(i);
    }
    return used;
}

// Least squares over the sightings `used`, from `pose`: a turn in radians
// and a shift in units of the distance to the nearest camera, so that the
// fit's difference steps are a microradian and a micrometre per metre.
void polish(const Setting& s, const std::vector<size_t>& used, RigidPose& pose) {
    const RigidPose start = pose;
    double depth = kHuge;
    for (size_t i : used) depth = std::min(depth, std::fabs(composePoses(s.worldToCamera[s.obs[i].view], start).t[2]));
    depth = std::max(1.0, std::min(depth, 1e7));
    const auto moved = [&](const std::vector<double>& p) {
        RigidPose q = start;
        const double turn[3] = {p[0], p[1], p[2]};
        turnRotation(turn, start.R, q.R);
        for (int r = 0; r < 3; ++r) q.t[r] = start.t[r] + p[3 + r] * depth;
        return q;
    };
    std::vector<double> p(6, 0.0);
    const double after = fitLeastSquares(
        [&](const std::vector<double>& q, std::vector<double>& residual) {
            const RigidPose trial = moved(q);
            residual.assign(8 * used.size(), 0.0);
            for (size_t i = 0; i < used.size(); ++i) residualsOf(s, trial, s.obs[used[i]], &residual[8 * i]);
        },
        p, kPolishIterations);
    if (std::isfinite(after)) pose = moved(p);
}

// Polishes on the sightings that agree with the start, drops the worst
// while it disagrees, then takes back every sighting the fit explains.
RigidPose robustFit(const Setting& s, const RigidPose& start, size_t startObs, std::vector<size_t>& used) {
    RigidPose pose = start;
    used = agreeing(s, pose, true);
    if (used.empty()) used.push_back(startObs);
    polish(s, used, pose);
    while (used.size() > 1) {
        size_t worst = 0;
        double worstShare = -1.0;
        for (size_t k = 0; k < used.size(); ++k) {
            const Observation& o = s.obs[used[k]];
            const double share = meanSquaredError(s, pose, o) / (o.tightPx * o.tightPx);
            if (share > worstShare) worstShare = share, worst = k;
        }
        if (worstShare <= 1.0) break;
        used.erase(used.begin() + static_cast<long>(worst));
        polish(s, used, pose);
    }
    const std::vector<size_t> all = agreeing(s, pose, false);
    if (all.size() > used.size()) {
        used = all;
        polish(s, used, pose);
    }
    return pose;
}

// Mean side of a square's corners, 0 when seen so obliquely that they
// enclose less than the edge-on share of the longest side squared.
double facingSidePx(const double corner[4][2]) {
    double area = 0.0, longest = 0.0, sum = 0.0;
    for (int k = 0; k < 4; ++k) {
        const double* a = corner[k];
        const double* b = corner[(k + 1) % 4];
        area += a[0] * b[1] - b[0] * a[1];
        const double edge = std::hypot(b[0] - a[0], b[1] - a[1]);
        longest = std::max(longest, edge);
        sum += edge;
    }
    const bool faces = std::isfinite(area) && longest > 0 && std::fabs(area) / 2 >= kEdgeOnAreaShare * longest * longest;
    return faces ? sum / 4 : 0.0;
}

// Whether the corners `used` of `view` span the image rather than a line.
bool spreads(const Setting& s, const std::vector<size_t>& used, size_t view) {
    double n = 0, mean[2] = {0, 0};
    for (size_t i : used)
        if (s.obs[i].view == view)
            for (int k = 0; k < 4; ++k) mean[0] += s.obs[i].observed[k][0], mean[1] += s.obs[i].observed[k][1], ++n;
    if (n < 4) return false;
    mean[0] /= n, mean[1] /= n;
    double sxx = 0, syy = 0, sxy = 0;
    for (size_t i : used)
        if (s.obs[i].view == view)
            for (int k = 0; k < 4; ++k) {
                const double dx = s.obs[i].observed[k][0] - mean[0], dy = s.obs[i].observed[k][1] - mean[1];
                sxx += dx * dx / n, syy += dy * dy / n, sxy += dx * dy / n;
            }
    const double smallest = (sxx + syy) / 2 - std::sqrt((sxx - syy) * (sxx - syy) / 4 + sxy * sxy);
    return smallest >= kLineSpreadPx * kLineSpreadPx;
}

// Both poses (marker to camera) a lone square's corners allow, the better
// first, by OpenCV's planar solver made for squares. The start only: the
// polish takes the full projection.
std::vector<RigidPose> squarePoses(const double P[3][4], double widthMm, const double corner[4][2]) {
    const double w = widthMm / 2;
    const std::vector<cv::Point3d> model = {{-w, w, 0}, {w, w, 0}, {w, -w, 0}, {-w, -w, 0}};
    std::vector<cv::Point2d> image;
    for (int k = 0; k < 4; ++k) image.emplace_back(corner[k][0], corner[k][1]);
    cv::Matx33d K;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) K(r, c) = P[r][c];
    std::vector<cv::Mat> rvecs, tvecs;
    std::vector<RigidPose> poses;
    try {
        cv::solvePnPGeneric(model, image, K, cv::noArray(), rvecs, tvecs, false, cv::SOLVEPNP_IPPE_SQUARE);
    } catch (const cv::Exception&) {
        return poses;   // a projection OpenCV cannot invert: no start from this view
    }
    for (size_t i = 0; i < rvecs.size(); ++i) {
        cv::Matx33d R;
        cv::Rodrigues(rvecs[i], R);
        RigidPose pose;
        bool finite = true;
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) pose.R[r][c] = R(r, c), finite = finite && std::isfinite(R(r, c));
            pose.t[r] = tvecs[i].at<double>(r);
            finite = finite && std::isfinite(pose.t[r]);
        }
        if (finite) poses.push_back(pose);
    }
    return poses;
}

// Starts for the object's world pose: each sighting's square poses, and the
// single-view body fit of every view that sees two members or more.
std::vector<std::pair<RigidPose, size_t>> startsOf(const Body& body, const Setting& s) {
    std::vector<std::pair<RigidPose, size_t>> starts;
    std::vector<std::vector<MemberSighting>> perView(s.views.size());
    std::vector<size_t> firstObs(s.views.size(), 0);
    for (size_t i = 0; i < s.obs.size(); ++i) {
        const Observation& o = s.obs[i];
        const BodyMember& member = body.members[o.member];
        const RigidPose toMarker = inversePose(memberPose(member));
        const std::vector<RigidPose> poses = squarePoses(s.views[o.view].projection, member.widthMm, o.observed);
        for (const RigidPose& marker : poses)
            starts.emplace_back(composePoses(s.views[o.view].cameraToWorld, composePoses(marker, toMarker)), i);
        if (poses.empty()) continue;
        if (perView[o.view].empty()) firstObs[o.view] = i;
        MemberSighting sighting;
        sighting.member = o.member;
        sighting.markerPose = poses.front();
        std::copy(&o.observed[0][0], &o.observed[0][0] + 8, &sighting.corner[0][0]);
        perView[o.view].push_back(sighting);
    }
    for (size_t v = 0; v < s.views.size(); ++v) {
        if (perView[v].size() < 2) continue;
        CameraParam camera;
        std::copy(&s.views[v].projection[0][0], &s.views[v].projection[0][0] + 12, &camera.projection[0][0]);
        camera.distortion[3] = 1.0;   // the corners are ideal already
        BodyPose inView;
        if (fitBodyPose(body, perView[v], camera, inView))
            starts.emplace_back(composePoses(s.views[v].cameraToWorld, inView.pose), firstObs[v]);
    }
    return starts;
}

// The sightings that can take part, with the object's model corners and
// each sighting's agreement limits from its own size in its image.
std::vector<Observation> observationsOf(const Body& body, const std::vector<WorldView>& views,
                                        const std::vector<ViewSighting>& sightings, std::vector<bool>& seenMember,
                                        std::vector<bool>& seenView) {
    std::vector<Observation> obs;
    for (const ViewSighting& v : sightings) {
        if (v.view >= views.size() || v.member >= body.members.size() || !body.members[v.member].poseKnown) continue;
        seenMember[v.member] = seenView[v.view] = true;
        const double side = facingSidePx(v.corner);
        if (!(side > 0.0)) continue;
        Observation o;
        o.view = v.view;
        o.member = v.member;
        memberCorners(body.members[v.member], o.model);
        std::copy(&v.corner[0][0], &v.corner[0][0] + 8, &o.observed[0][0]);
        o.tightPx = std::max(kMemberTightPx, kMemberAgreeShare * side);
        o.loosePx = std::max(o.tightPx, kStartAgreeShare * side);
        obs.push_back(o);
    }
    return obs;
}

} // namespace

Body loneMarkerBody(const std::string& pattern, double widthMm) {
    BodyMember member;
    member.pattern = pattern;
    member.poseKnown = true;
    member.widthMm = widthMm;
    return Body{pattern, {member}};
}

bool fitWorldBody(const Body& body, const std::vector<WorldView>& views, const std::vector<ViewSighting>& sightings,
                  WorldFit& fit) {
    std::vector<bool> seenMember(body.members.size(), false), seenView(views.size(), false);
    Setting s{views, {}, observationsOf(body, views, sightings, seenMember, seenView)};
    if (s.obs.empty()) return false;
    for (const WorldView& v : views) s.worldToCamera.push_back(inversePose(v.cameraToWorld));

    std::vector<std::pair<RigidPose, size_t>> starts = startsOf(body, s);
    std::vector<std::pair<double, size_t>> ranked;
    for (size_t i = 0; i < starts.size(); ++i) ranked.emplace_back(truncatedScore(s, starts[i].first, true), i);
    std::sort(ranked.begin(), ranked.end());

    // The two best distinct starts are both finished: a lone square's two
    // poses can explain one view alike and only the other views tell them apart.
    RigidPose best;
    std::vector<size_t> bestUsed;
    double bestScore = std::numeric_limits<double>::infinity();
    size_t bestStartView = 0;
    std::vector<const RigidPose*> tried;
    for (const auto& entry : ranked) {
        const RigidPose& start = starts[entry.second].first;
        bool distinct = true;
        for (const RigidPose* t : tried) distinct = distinct && rotationBetween(t->R, start.R) > kDistinctStartRad;
        if (!distinct) continue;
        tried.push_back(&start);
        std::vector<size_t> used;
        const RigidPose pose = robustFit(s, start, starts[entry.second].second, used);
        const double score = truncatedScore(s, pose, false);
        if (!used.empty() && score < bestScore) {
            bestScore = score, best = pose, bestUsed = used;
            bestStartView = s.obs[starts[entry.second].second].view;
        }
        if (tried.size() == 2) break;
    }
    if (bestUsed.empty()) return false;

    bool spread = false;
    double sum = 0.0;
    std::vector<bool> usedView(views.size(), false), usedMember(body.members.size(), false);
    for (size_t i : bestUsed) {
        sum += 4 * meanSquaredError(s, best, s.obs[i]);
        usedView[s.obs[i].view] = usedMember[s.obs[i].member] = true;
    }
    for (size_t v = 0; v < views.size() && !spread; ++v) spread = usedView[v] && spreads(s, bestUsed, v);
    if (!spread || !std::isfinite(sum) || sum >= kHuge) return false;

    fit = WorldFit{};
    fit.startView = bestStartView;
    fit.pose = best;
    fit.rmsPx = std::sqrt(sum / (4.0 * bestUsed.size()));
    for (size_t v = 0; v < views.size(); ++v) {
        if (usedView[v]) fit.nodes.push_back(views[v].node);
        else if (seenView[v]) fit.rejectedNodes.push_back(views[v].node);
    }
    for (size_t m = 0; m < body.members.size(); ++m) {
        if (usedMember[m]) fit.members.push_back(body.members[m].pattern);
        else if (seenMember[m]) fit.rejected.push_back(body.members[m].pattern);
    }
    return true;
}
