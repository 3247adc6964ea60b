#pragma once
// Rendered rigid bodies with their truth, for the body tests and benchmarks:
// random patterns written as pattern files and loaded into the detector, a
// catalogue naming them, bodies laid out as a board or a cube, frames
// rendered at a body pose and the markers evaluated as the worker does.
#include <cmath>
#include <string>
#include <vector>
#include "bodies.h"
#include "body_pose.h"
#include "detector_state.h"
#include "evaluate.h"
#include "pattern.h"
#include "render.h"

struct BodyScene {
    CameraParam camera;
    Catalogue catalogue;
    std::vector<cv::Mat> patterns;
    std::vector<Body> bodies;
    std::vector<PrintedBody> printed; // members' transforms as printed (displacements included)

    // `count` patterns P0, P1, ... of `widthMm`, their files in `folder`,
    // loaded into a fresh detector with `camera` installed.
    BodyScene(const CameraParam& cam, int count, double widthMm, const std::string& folder) : camera(cam) {
        resetDetector();
        setWorkingCameraParam(camera);
        for (int i = 0; i < count; ++i) {
            patterns.push_back(makeRandomPattern(static_cast<uint32_t>(1000 + 37 * i)));
            const std::string path = folder + "/" + std::to_string(i) + ".patt";
            writePatternImageFile(path.c_str(), patterns.back());
            loadPatternFile(path.c_str());
            PatternEntry entry;
            entry.index = i;
            entry.name = "P" + std::to_string(i);
            entry.width = widthMm;
            catalogue.push_back(entry);
        }
    }

    // A body of the patterns from `firstPattern` on, one per layout pose,
    // printed exactly as the layout says.
    void addBody(const std::string& name, const std::vector<RigidPose>& layout, int firstPattern) {
        Body body{name, {}};
        PrintedBody print;
        for (size_t i = 0; i < layout.size(); ++i) {
            const PatternEntry& entry = catalogue[static_cast<size_t>(firstPattern) + i];
            BodyMember member;
            member.pattern = entry.name;
            member.patternId = entry.index;
            member.widthMm = entry.width;
            setMemberPose(member, layout[i]);
            body.members.push_back(member);
            PrintedMarker marker;
            marker.pattern = patterns[static_cast<size_t>(entry.index)];
            marker.widthMm = entry.width;
            poseToTransform(layout[i], marker.transform);
            print.members.push_back(marker);
        }
        bodies.push_back(body);
        printed.push_back(print);
    }

    // Frame with each body at its pose (body to camera), and the markers
    // evaluated from it; with `truth`, each drawn marker's truth and, in
    // `truthMember`, its member index in its body.
    cv::Mat render(const std::vector<RigidPose>& poses, const RenderSettings& settings, ResultTable& markers,
                   std::vector<MarkerTruth>* truth = nullptr, std::vector<int>* truthMember = nullptr) {
        std::vector<PrintedMarker> all;
        if (truthMember) truthMember->clear();
        for (size_t b = 0; b < printed.size() && b < poses.size(); ++b) {
            poseToTransform(poses[b], printed[b].transform);
            std::vector<int> index;
            const std::vector<PrintedMarker> placed = placeBody(printed[b], &index);
            all.insert(all.end(), placed.begin(), placed.end());
            if (truthMember) truthMember->insert(truthMember->end(), index.begin(), index.end());
        }
        const cv::Mat bgr = renderFrame(camera, all, settings, truth);
        const cv::Mat frame = toDetectorFrame(bgr);
        markers.clear();
        evaluateMarkers(frame.data, catalogue, markers);
        return bgr;
    }
};

// Body to camera: the body's origin on the ray through pixel (x, y) at
// `distanceMm`, turned as poseFromView turns a marker.
inline RigidPose bodyPoseFromView(const CameraParam& camera, double distanceMm, double tiltX, double tiltY,
                                  double roll, double x, double y) {
    double transform[3][4];
    poseFromView(camera, distanceMm, tiltX, tiltY, roll, x, y, transform);
    return poseFromTransform(transform);
}

inline double positionError(const RigidPose& a, const RigidPose& b) {
    return std::sqrt(std::pow(a.t[0] - b.t[0], 2) + std::pow(a.t[1] - b.t[1], 2) + std::pow(a.t[2] - b.t[2], 2));
}

inline double rotationErrorDeg(const RigidPose& a, const RigidPose& b) {
    return rotationBetween(a.R, b.R) * 180.0 / 3.14159265358979323846;
}
