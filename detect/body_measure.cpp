#include "body_measure.h"
#include <algorithm>
#include <cmath>
#include <numeric>
#include "least_squares.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kFitIterations = 60;
// A sighting whose corners miss by more than this many times the median
// sighting's RMS (and by more than kLeftOutFloorPx) does not belong to the
// rest: a wrong identity, or a member that was moved between views.
constexpr double kLeftOutFactor = 5.0;
constexpr double kLeftOutFloorPx = 2.0;
// Fits, each leaving out at most one sighting of each view.
constexpr int kLeftOutRounds = 4;

// The start pose moved by six parameters: a turn (radians, applied after
// the start's rotation) and a shift in millimetres.
RigidPose moved(const RigidPose& start, const double* p) {
    RigidPose out;
    turnRotation(p, start.R, out.R);
    for (int r = 0; r < 3; ++r) out.t[r] = start.t[r] + p[3 + r];
    return out;
}

struct Observation {
    int view;     // index among the fit's views
    size_t member;
    double observed[4][2];  // the corners in observed pixels
};

// The model corners in pattern order: top-left, top-right, bottom-right, bottom-left.
void modelCorners(double width, double Q[4][3]) {
    const double w = width / 2;
    const double corners[4][3] = {{-w, w, 0}, {w, w, 0}, {w, -w, 0}, {-w, -w, 0}};
    std::copy(&corners[0][0], &corners[0][0] + 12, &Q[0][0]);
}

// Squared observed-pixel error of one member's corners seen through `pose`
// (member to camera); the eight residuals when asked.
double cornerError(const CameraParam& camera, const RigidPose& pose, double width, const double observed[4][2],
                   double* residual) {
    double Q[4][3];
    modelCorners(width, Q);
    const auto& P = camera.projection;
    double sum = 0;
    for (int k = 0; k < 4; ++k) {
        double X[3];
        for (int r = 0; r < 3; ++r) X[r] = pose.R[r][0] * Q[k][0] + pose.R[r][1] * Q[k][1] + pose.t[r];
        const double h = P[2][0] * X[0] + P[2][1] * X[1] + P[2][2] * X[2] + P[2][3];
        const double ix = (P[0][0] * X[0] + P[0][1] * X[1] + P[0][2] * X[2] + P[0][3]) / h;
        const double iy = (P[1][0] * X[0] + P[1][1] * X[1] + P[1][2] * X[2] + P[1][3]) / h;
        double ox, oy;
        idealToObserved(camera.distortion, ix, iy, &ox, &oy);
        const double dx = observed[k][0] - ox, dy = observed[k][1] - oy;
        if (residual) residual[2 * k] = dx, residual[2 * k + 1] = dy;
        sum += dx * dx + dy * dy;
    }
    return sum;
}

// The joint fit: every view's body pose and every member's pose in the
// body but the first's, which is the body frame.
class JointFit {
public:
    JointFit(const CameraParam& camera, const std::vector<double>& widths, std::vector<Observation> observations,
             std::vector<RigidPose> views, std::vector<RigidPose> members)
        : camera_(camera), widths_(widths), observations_(std::move(observations)), views_(std::move(views)),
          members_(std::move(members)) {}

    void run() {
        const size_t count = 6 * (views_.size() + members_.size() - 1);
        std::vector<double> p(count, 0.0);
        fitLeastSquares([this](const std::vector<double>& q, std::vector<double>& residual) { residuals(q, residual); },
                        p, kFitIterations);
        for (size_t v = 0; v < views_.size(); ++v) views_[v] = moved(views_[v], &p[6 * v]);
        for (size_t m = 1; m < members_.size(); ++m) members_[m] = moved(members_[m], &p[6 * (views_.size() + m - 1)]);
    }

    // Squared error of one observation at the current poses.
    double squaredError(const Observation& o) const {
        return cornerError(camera_, composePoses(views_[o.view], members_[o.member]), widths_[o.member], o.observed,
                           nullptr);
    }

    const std::vector<RigidPose>& views() const { return views_; }
    const std::vector<RigidPose>& members() const { return members_; }
    const std::vector<Observation>& observations() const { return observations_; }

private:
    void residuals(const std::vector<double>& p, std::vector<double>& residual) const {
        std::vector<RigidPose> views(views_.size()), members = members_;
        for (size_t v = 0; v < views_.size(); ++v) views[v] = moved(views_[v], &p[6 * v]);
        for (size_t m = 1; m < members_.size(); ++m) members[m] = moved(members_[m], &p[6 * (views_.size() + m - 1)]);
        residual.resize(8 * observations_.size());
        for (size_t i = 0; i < observations_.size(); ++i) {
            const Observation& o = observations_[i];
            cornerError(camera_, composePoses(views[o.view], members[o.member]), widths_[o.member], o.observed,
                        &residual[8 * i]);
        }
    }

    const CameraParam& camera_;
    const std::vector<double>& widths_;
    std::vector<Observation> observations_;
    std::vector<RigidPose> views_, members_;
};

// One view's pose fitted to `observations` with the members held; the
// sum of squared errors of `judged` under it.
double errorWithViewRefitted(const CameraParam& camera, const std::vector<double>& widths,
                             const std::vector<RigidPose>& members, const RigidPose& start,
                             const std::vector<const Observation*>& observations, const Observation& judged) {
    std::vector<double> p(6, 0.0);
    fitLeastSquares(
        [&](const std::vector<double>& q, std::vector<double>& residual) {
            const RigidPose view = moved(start, q.data());
            residual.resize(8 * observations.size());
            for (size_t i = 0; i < observations.size(); ++i)
                cornerError(camera, composePoses(view, members[observations[i]->member]),
                            widths[observations[i]->member], observations[i]->observed, &residual[8 * i]);
        },
        p, kFitIterations);
    const RigidPose view = moved(start, p.data());
    return cornerError(camera, composePoses(view, members[judged.member]), widths[judged.member], judged.observed,
                       nullptr);
}

// The sightings of one view that disagree, by index into the fit's
// observations: of three or more, the one that the others' view pose
// explains worst; of two, both, as nothing tells which is wrong.
std::vector<size_t> disagreeing(const CameraParam& camera, const std::vector<double>& widths, const JointFit& fit,
                                int view) {
    std::vector<size_t> mine;
    for (size_t i = 0; i < fit.observations().size(); ++i)
        if (fit.observations()[i].view == view) mine.push_back(i);
    if (mine.size() < 3) return mine;
    size_t worst = mine[0];
    double worstError = -1;
    for (size_t judged : mine) {
        std::vector<const Observation*> others;
        for (size_t i : mine)
            if (i != judged) others.push_back(&fit.observations()[i]);
        const double e = errorWithViewRefitted(camera, widths, fit.members(), fit.views()[view], others,
                                               fit.observations()[judged]);
        if (e > worstError) worstError = e, worst = judged;
    }
    return {worst};
}

Observation observationOf(const CameraParam& camera, int view, const MemberSighting& s) {
    Observation o{view, s.member, {}};
    for (int k = 0; k < 4; ++k)
        idealToObserved(camera.distortion, s.corner[k][0], s.corner[k][1], &o.observed[k][0], &o.observed[k][1]);
    return o;
}

// The candidate closest to all the others in rotation and position: single
// markers' poses flip now and then, and a flipped one is far from the rest.
RigidPose medoid(const std::vector<RigidPose>& candidates, double scaleMm) {
    size_t best = 0;
    double bestSum = INFINITY;
    for (size_t a = 0; a < candidates.size(); ++a) {
        double sum = 0;
        for (size_t b = 0; b < candidates.size(); ++b) {
            double d2 = 0;
            for (int r = 0; r < 3; ++r) d2 += std::pow(candidates[a].t[r] - candidates[b].t[r], 2);
            sum += rotationBetween(candidates[a].R, candidates[b].R) * 180 / kPi + std::sqrt(d2) / scaleMm * 10;
        }
        if (sum < bestSum) bestSum = sum, best = a;
    }
    return candidates[best];
}

// The members each view shows once; a view showing a member twice keeps
// its first sighting of it.
std::vector<BodyView> distinctSightings(const std::vector<BodyView>& views, int memberCount) {
    std::vector<BodyView> out;
    for (const BodyView& view : views) {
        std::vector<bool> seen(memberCount, false);
        BodyView kept;
        for (const MemberSighting& s : view) {
            if (s.member >= static_cast<size_t>(memberCount) || seen[s.member]) continue;
            seen[s.member] = true;
            kept.push_back(s);
        }
        out.push_back(kept);
    }
    return out;
}

// The members reached from member 0 through views that show two together.
std::vector<bool> linkedMembers(const std::vector<BodyView>& views, const std::vector<int>& used, int memberCount) {
    std::vector<bool> linked(memberCount, false);
    linked[0] = true;
    for (bool grew = true; grew;) {
        grew = false;
        for (int v : used) {
            const bool touches = std::any_of(views[v].begin(), views[v].end(), [&](const MemberSighting& s) { return linked[s.member]; });
            if (!touches) continue;
            for (const MemberSighting& s : views[v])
                if (!linked[s.member]) linked[s.member] = grew = true;
        }
    }
    return linked;
}

// Members' start poses in the body, in the order the links reach them.
std::vector<RigidPose> startMemberPoses(const std::vector<BodyView>& views, const std::vector<int>& used,
                                        int memberCount, double scaleMm) {
    std::vector<RigidPose> members(memberCount);
    std::vector<bool> known(memberCount, false);
    known[0] = true;
    for (bool grew = true; grew;) {
        grew = false;
        for (int m = 1; m < memberCount; ++m) {
            if (known[m]) continue;
            std::vector<RigidPose> candidates;
            for (int v : used) {
                const auto self = std::find_if(views[v].begin(), views[v].end(), [&](const MemberSighting& s) { return s.member == static_cast<size_t>(m); });
                if (self == views[v].end()) continue;
                for (const MemberSighting& s : views[v]) {
                    if (!known[s.member]) continue;
                    // body <- a <- camera <- m
                    candidates.push_back(composePoses(
                        members[s.member],
                        composePoses(inversePose(s.markerPose), self->markerPose)));
                }
            }
            if (candidates.empty()) continue;
            members[m] = medoid(candidates, scaleMm);
            known[m] = grew = true;
        }
    }
    return members;
}

// A view's start pose: of the poses its sightings give, the one whose
// corners fit best overall.
RigidPose startViewPose(const CameraParam& camera, const std::vector<double>& widths,
                        const std::vector<RigidPose>& members, const BodyView& view) {
    RigidPose best;
    double bestError = INFINITY;
    for (const MemberSighting& s : view) {
        const RigidPose candidate = composePoses(s.markerPose, inversePose(members[s.member]));
        double error = 0;
        for (const MemberSighting& o : view)
            error += cornerError(camera, composePoses(candidate, members[o.member]), widths[o.member],
                                 observationOf(camera, 0, o).observed, nullptr);
        if (error < bestError) bestError = error, best = candidate;
    }
    return best;
}

std::string joinedNames(const std::vector<std::string>& names, const std::vector<int>& which) {
    std::string text;
    for (size_t i = 0; i < which.size(); ++i)
        text += (i == 0 ? "" : i + 1 == which.size() ? " and " : ", ") + names[which[i]];
    return text;
}

// Views that show two or more members.
std::vector<int> viewsOfTwo(const std::vector<BodyView>& views) {
    std::vector<int> used;
    for (size_t v = 0; v < views.size(); ++v)
        if (views[v].size() >= 2) used.push_back(static_cast<int>(v));
    return used;
}

bool checkViews(const std::vector<BodyView>& views, const std::vector<int>& used, const std::vector<std::string>& names,
                std::string& error) {
    if (static_cast<int>(used.size()) < kMinBodyViews) {
        error = std::to_string(used.size()) + (used.size() == 1 ? " view shows" : " views show") +
                " two or more members together; at least " + std::to_string(kMinBodyViews) + " are needed";
        return false;
    }
    const std::vector<bool> linked = linkedMembers(views, used, static_cast<int>(names.size()));
    std::vector<int> unlinked;
    for (size_t m = 0; m < names.size(); ++m)
        if (!linked[m]) unlinked.push_back(static_cast<int>(m));
    if (!unlinked.empty()) {
        error = joinedNames(names, unlinked) + (unlinked.size() == 1 ? " is" : " are") +
                " not seen together with " + names[0] + " or a member linked to it in any view";
        return false;
    }
    return true;
}

} // namespace

bool measureBody(const Body& body, const std::vector<BodyView>& givenViews, const CameraParam& camera,
                 BodyMeasurement& result, std::string& error) {
    std::vector<double> widths;
    std::vector<std::string> names;
    for (const BodyMember& m : body.members) {
        widths.push_back(m.widthMm);
        names.push_back(m.pattern);
    }
    const int memberCount = static_cast<int>(widths.size());
    if (memberCount < 2 || names.size() != widths.size()) {
        error = "a body needs two or more members to be measured";
        return false;
    }
    std::vector<BodyView> views = distinctSightings(givenViews, memberCount);
    std::vector<int> used = viewsOfTwo(views);
    if (!checkViews(views, used, names, error)) return false;
    const double scaleMm = *std::max_element(widths.begin(), widths.end());

    std::vector<std::pair<int, size_t>> leftOut;
    for (int round = 0; round < kLeftOutRounds; ++round) {
        const std::vector<RigidPose> members = startMemberPoses(views, used, memberCount, scaleMm);
        std::vector<RigidPose> viewPoses;
        std::vector<Observation> observations;
        for (size_t i = 0; i < used.size(); ++i) {
            viewPoses.push_back(startViewPose(camera, widths, members, views[used[i]]));
            for (const MemberSighting& s : views[used[i]]) observations.push_back(observationOf(camera, static_cast<int>(i), s));
        }
        JointFit fit(camera, widths, observations, viewPoses, members);
        fit.run();

        std::vector<double> rms;
        for (const Observation& o : fit.observations()) rms.push_back(std::sqrt(fit.squaredError(o) / 4));
        std::vector<double> sorted = rms;
        std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
        const double limit = std::max(kLeftOutFloorPx, kLeftOutFactor * sorted[sorted.size() / 2]);
        const bool last = round + 1 == kLeftOutRounds || std::all_of(rms.begin(), rms.end(), [&](double e) { return e <= limit; });
        if (!last) {
            // A sighting that is off pulls its view's pose and with it the
            // others': the culprit is the one the others explain worst.
            // Those are left out and the fit starts afresh.
            std::vector<bool> judged(used.size(), false);
            std::vector<size_t> out;
            for (size_t i = 0; i < rms.size(); ++i) {
                const int v = fit.observations()[i].view;
                if (rms[i] <= limit || judged[v]) continue;
                judged[v] = true;
                for (size_t k : disagreeing(camera, widths, fit, v)) out.push_back(k);
            }
            for (const size_t i : out) {
                const Observation& o = fit.observations()[i];
                const int view = used[o.view];
                leftOut.emplace_back(view, o.member);
                views[view].erase(std::remove_if(views[view].begin(), views[view].end(),
                                                 [&](const MemberSighting& s) { return s.member == o.member; }),
                                  views[view].end());
            }
            used = viewsOfTwo(views);
            if (!checkViews(views, used, names, error)) return false;
            continue;
        }
        BodyMeasurement out;
        out.members.resize(memberCount);
        std::vector<double> sum(memberCount, 0.0);
        double total = 0;
        for (const Observation& o : fit.observations()) {
            const double e = fit.squaredError(o);
            sum[o.member] += e;
            total += e;
            ++out.members[o.member].views;
        }
        for (int m = 0; m < memberCount; ++m) {
            out.members[m].pose = fit.members()[m];
            out.members[m].rmsPx = out.members[m].views ? std::sqrt(sum[m] / (4.0 * out.members[m].views)) : 0;
        }
        out.rmsPx = std::sqrt(total / (4.0 * fit.observations().size()));
        out.viewsUsed = used;
        out.leftOut = leftOut;
        result = out;
        return true;
    }
    return false;
}

