// A body's pose per frame, Quillmark against OpenCV ArUco's board pose, on
// the same layouts rendered the same way at the same poses: a 2x2 board
// and a cube with markers on five faces, 40 and 60 mm markers, frames from
// 400 to 1500 mm at varied sides, rolls and positions, blur 0.5 px, noise 2
// grey levels, 640x480 with a slight barrel lens.
//   quillmark   catalogued random patterns, evaluateMarkers (with and
//               without sub-pixel corners), then fitBodyPose on the layout
//   aruco       the layout in DICT_4X4_50 markers (ids 0...), detectMarkers
//               with CORNER_REFINE_SUBPIX, the corners mapped to ideal
//               pixels through the lens, then estimatePoseBoard on the
//               pinhole part of the camera
// Per set: frames with a pose, and the median and 90th-percentile position
// (mm) and rotation (degrees) error of the body's pose against the truth;
// ArUco's over Quillmark's. Only with -DQUILLMARK_PEERS=ON.
//   body_peers [frames]   (default 40)
#include <stdlib.h>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>
#include <opencv2/aruco.hpp>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>
#include "body_scene.h"
#include "body_views.h"

namespace {

struct Set {
    const char* name;
    bool cube;
    double widthMm;
};

struct Errors {
    std::vector<double> position, rotation;
    int frames = 0;
};

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
}

RigidPose viewNumber(const CameraParam& camera, const Set& set, int i, int n, cv::RNG& rng) {
    const double distance = 400 + 1100.0 * ((i * 7) % n) / std::max(1, n - 1);
    const double d2r = 3.14159265358979323846 / 180;
    const double azimuth = rng.uniform(0.0, 360.0) * d2r;
    const double elevation = (set.cube ? rng.uniform(15.0, 60.0) : rng.uniform(40.0, 85.0)) * d2r;
    const double across[2] = {std::cos(elevation) * std::cos(azimuth), std::cos(elevation) * std::sin(azimuth)};
    const double from[3] = {across[0], set.cube ? std::sin(elevation) : across[1],
                            set.cube ? across[1] : std::sin(elevation)};
    const double target[3] = {0, 0, 0};
    const double x = camera.xsize / 2.0 + rng.uniform(-0.25, 0.25) * camera.xsize;
    const double y = camera.ysize / 2.0 + rng.uniform(-0.25, 0.25) * camera.ysize;
    return viewOfBody(camera, target, from, distance, rng.uniform(-180.0, 180.0), x, y);
}

void score(Errors& errors, const RigidPose& found, const RigidPose& truth) {
    ++errors.frames;
    errors.position.push_back(positionError(found, truth));
    errors.rotation.push_back(rotationErrorDeg(found, truth));
}

// The members of the body among a frame's markers.
std::vector<MemberSighting> sightingsOf(const Body& body, const ResultTable& markers) {
    std::vector<MemberSighting> view;
    for (const MarkerResult& r : markers)
        for (size_t m = 0; m < body.members.size(); ++m)
            if (body.members[m].patternId == r.patternId) {
                MemberSighting s;
                s.member = m;
                std::copy(&r.vertex[0][0], &r.vertex[0][0] + 8, &s.corner[0][0]);
                s.markerPose = poseFromGlMatrix(r.glMatrix);
                view.push_back(s);
            }
    return view;
}

class ArucoBoard {
public:
    ArucoBoard(const std::vector<RigidPose>& layout, double widthMm, const CameraParam& camera)
        : dictionary_(cv::aruco::getPredefinedDictionary(cv::aruco::DICT_4X4_50)),
          parameters_(cv::aruco::DetectorParameters::create()), camera_(camera) {
        parameters_->cornerRefinementMethod = cv::aruco::CORNER_REFINE_SUBPIX;
        const double w = widthMm / 2;
        const double model[4][3] = {{-w, w, 0}, {w, w, 0}, {w, -w, 0}, {-w, -w, 0}};
        std::vector<std::vector<cv::Point3f>> objects;
        std::vector<int> ids;
        for (size_t m = 0; m < layout.size(); ++m) {
            std::vector<cv::Point3f> corners;
            for (const auto& q : model) {
                double p[3];
                transformPoint(layout[m], q, p);
                corners.emplace_back(static_cast<float>(p[0]), static_cast<float>(p[1]), static_cast<float>(p[2]));
            }
            objects.push_back(corners);
            ids.push_back(static_cast<int>(m));
            cv::Mat image;
            cv::aruco::drawMarker(dictionary_, static_cast<int>(m), 120, image, 1);
            PrintedMarker marker;
            cv::cvtColor(image, marker.pattern, cv::COLOR_GRAY2BGR);
            marker.face = PrintedMarker::WholeSquare;
            marker.widthMm = widthMm;
            marker.marginFraction = 0.2;
            poseToTransform(layout[m], marker.transform);
            print.members.push_back(marker);
        }
        board_ = cv::aruco::Board::create(objects, dictionary_, ids);
    }

    bool pose(const cv::Mat& bgr, RigidPose& found) {
        cv::Mat grey;
        cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
        std::vector<std::vector<cv::Point2f>> corners;
        std::vector<int> ids;
        cv::aruco::detectMarkers(grey, dictionary_, corners, ids, parameters_);
        for (auto& marker : corners)
            for (auto& c : marker) {
                double ix, iy;
                observedToIdeal(camera_.distortion, c.x, c.y, &ix, &iy);
                c = cv::Point2f(static_cast<float>(ix), static_cast<float>(iy));
            }
        const auto& P = camera_.projection;
        const cv::Matx33d K(P[0][0], P[0][1], P[0][2], 0, P[1][1], P[1][2], 0, 0, 1);
        cv::Vec3d rvec, tvec;
        if (ids.empty() || cv::aruco::estimatePoseBoard(corners, ids, board_, K, cv::noArray(), rvec, tvec) == 0)
            return false;
        cv::Matx33d R;
        cv::Rodrigues(rvec, R);
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) found.R[r][c] = R(r, c);
            found.t[r] = tvec[r];
        }
        return true;
    }

    PrintedBody print;

private:
    cv::Ptr<cv::aruco::Dictionary> dictionary_;
    cv::Ptr<cv::aruco::DetectorParameters> parameters_;
    cv::Ptr<cv::aruco::Board> board_;
    const CameraParam& camera_;
};

void printRow(const char* set, double width, const char* who, const Errors& e, int frames, const Errors* against) {
    std::printf("| %-5s | %2.0f | %-18s | %2d/%d | %6.3f | %6.3f | %6.3f | %6.3f |", set, width, who, e.frames, frames,
                percentile(e.position, 0.5), percentile(e.position, 0.9), percentile(e.rotation, 0.5),
                percentile(e.rotation, 0.9));
    if (against)
        std::printf(" %.2f x, %.2f x |", percentile(e.position, 0.5) / percentile(against->position, 0.5),
                    percentile(e.rotation, 0.5) / percentile(against->rotation, 0.5));
    else
        std::printf(" |");
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::max(5, std::atoi(argv[1])) : 40;
    char name[] = "/tmp/body_peers.XXXXXX";
    const std::string folder = mkdtemp(name);
    const CameraParam camera = defaultCameraParam();
    const Set sets[] = {{"board", false, 40}, {"board", false, 60}, {"cube", true, 40}, {"cube", true, 60}};
    std::printf("body pose per frame, %d frames per set from 400 to 1500 mm, 640x480\n", frames);
    std::printf("| body | mm | detector | frames | median mm | p90 mm | median deg | p90 deg | over --refine (median) |\n"
                "|---|---|---|---|---|---|---|---|---|\n");
    bool met = true;
    int seed = 5;
    for (const Set& set : sets) {
        const std::vector<RigidPose> layout =
            set.cube ? cubeLayout(1.5 * set.widthMm) : boardLayout(2, 2, set.widthMm, 0.25 * set.widthMm);
        BodyScene world(camera, static_cast<int>(layout.size()), set.widthMm, folder);
        world.addBody(set.name, layout, 0);
        for (PrintedMarker& member : world.printed[0].members) member.marginFraction = 0.2;
        ArucoBoard aruco(layout, set.widthMm, camera);
        RenderSettings settings;
        settings.blurSigmaPx = 0.5;
        settings.noiseSigma = 2.0;
        Errors quillmark, refined, peer;
        cv::RNG rng(static_cast<uint64_t>(seed += 10));
        ResultTable markers;
        for (int i = 0; i < frames; ++i) {
            const RigidPose truth = viewNumber(camera, set, i, frames, rng);
            settings.seed = static_cast<uint32_t>(seed * 100 + i);
            for (Errors* errors : {&quillmark, &refined}) {
                detectorState().options.cornerRefine = errors == &refined;
                world.render({truth}, settings, markers);
                BodyPose pose;
                if (fitBodyPose(world.bodies[0], sightingsOf(world.bodies[0], markers), camera, pose))
                    score(*errors, pose.pose, truth);
            }
            poseToTransform(truth, aruco.print.transform);
            RigidPose found;
            if (aruco.pose(renderFrame(camera, placeBody(aruco.print), settings), found)) score(peer, found, truth);
        }
        printRow(set.name, set.widthMm, "quillmark --refine", refined, frames, nullptr);
        printRow(set.name, set.widthMm, "quillmark", quillmark, frames, &refined);
        printRow(set.name, set.widthMm, "aruco board", peer, frames, &refined);
        met = met && refined.frames >= peer.frames &&
              percentile(refined.position, 0.5) <= percentile(peer.position, 0.5) &&
              percentile(refined.rotation, 0.5) <= percentile(peer.rotation, 0.5);
    }
    std::filesystem::remove_all(folder);
    std::printf("goal (Quillmark's body pose error, with sub-pixel corners, no larger than ArUco's board pose): %s\n",
                met ? "met" : "NOT met");
    return met ? 0 : 1;
}
