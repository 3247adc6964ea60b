#pragma once
// Measuring a rigid body of several markers from views of it: the poses of
// its members in the body frame (the first member's own frame), by one
// joint fit of every member's and every view's pose to all the corners
// seen, through the camera's lens (bundle adjustment). Only views in which
// two or more members are seen together tell how the members lie.
#include <string>
#include <utility>
#include <vector>
#include "bodies.h"
#include "body_pose.h"
#include "camera_param.h"
#include "rigid_pose.h"

// The members of a body one view saw: their corners, and their own marker
// poses, where the fit starts.
using BodyView = std::vector<MemberSighting>;

struct MeasuredMember {
    RigidPose pose;    // member frame to body frame
    double rmsPx = 0;  // over its corners in the views used, observed pixels
    int views = 0;     // views used that saw it
};

struct BodyMeasurement {
    std::vector<MeasuredMember> members;  // in the body's order
    std::vector<int> viewsUsed;           // indices into the views given
    double rmsPx = 0;                     // over every corner used
    // Sightings whose corners disagreed with the rest (a wrong identity, a
    // member that moved between views), left out of the fit: view, member.
    std::vector<std::pair<int, size_t>> leftOut;
};

// Fewer views of two members together than this give no measurement: one
// view would do for the geometry, but a few spread the corner noise.
constexpr int kMinBodyViews = 3;

// The poses of `body`'s members (their widths from the catalogue; any
// poses they carry are not used) from `views`, seen through `camera` at
// the views' image size. False, with `error` saying why (too few views, or
// naming the members that are not linked to the first through views they
// share) and `result` untouched.
bool measureBody(const Body& body, const std::vector<BodyView>& views, const CameraParam& camera,
                 BodyMeasurement& result, std::string& error);
