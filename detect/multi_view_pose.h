#pragma once
// One rigid pose in the world from the corners several cameras saw at the
// same instant. Each camera comes with its projection and its own pose in
// the world, so every corner it saw constrains the object's world pose
// directly; the fit starts from the best camera's own fit and polishes one
// pose against all corners of all cameras at once. A camera's sighting
// whose corners disagree with the others (a wrong identification, a marker
// seen in a mirror, a camera whose world pose is off) is left out and named;
// a fit the corners cannot hold gives no pose.
//
// The object is a rigid body (its members' squares, memberCorners) or a lone
// marker, which is fitted as a body of one member whose frame is the
// marker's own.
#include <string>
#include <vector>
#include "bodies.h"
#include "rigid_pose.h"

// One camera at the instant fitted.
struct WorldView {
    std::string node;               // names the camera in the fit's report
    double projection[3][4] = {};   // ideal pixel = projection x homogeneous camera point (mm)
    RigidPose cameraToWorld;        // camera frame to world frame, mm
};

// One member's square as one view saw it: ideal pixels (lens distortion
// removed), in pattern order.
struct ViewSighting {
    size_t view = 0;     // index into the views
    size_t member = 0;   // index into the body's members; 0 for a lone marker
    double corner[4][2] = {};
};

struct WorldFit {
    RigidPose pose;                           // object frame to world frame, mm
    double rmsPx = 0.0;                       // corners' RMS distance from the fit, ideal pixels
    std::vector<std::string> nodes;           // views with a sighting in the fit, in view order
    std::vector<std::string> members;         // members used by some view, in the body's order
    std::vector<std::string> rejected;        // members seen but used by no view
    std::vector<std::string> rejectedNodes;   // views that saw the object but none of whose sightings were used
    size_t startView = 0;                     // the view whose own fit was the start
};

// Fits `body` (every member with a known pose) to `sightings` from `views`.
// Sightings of a member without a pose, of an unknown member or view, or
// seen edge-on are left out. False, `fit` unchanged, when nothing usable is
// left or the fit is degenerate (the corners of every view near one line,
// or the object behind a camera that saw it).
bool fitWorldBody(const Body& body, const std::vector<WorldView>& views, const std::vector<ViewSighting>& sightings,
                  WorldFit& fit);

// A lone marker of the catalogue as a body of one member: its square of
// side `widthMm` centred on the origin of its own frame.
Body loneMarkerBody(const std::string& pattern, double widthMm);
