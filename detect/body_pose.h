#pragma once
// One pose per rigid body per frame, after the markers are identified: all
// corners of the members in view fitted at once through the lens model,
// from the best member's pose (or its mirror: a lone square's pose can flip
// between the two), finished by the shared least-squares fit. A member whose
// corners disagree with the others is left out and named; a fit that cannot
// be trusted (corners all on a line, members seen edge-on) gives no pose.
#include <string>
#include <vector>
#include "bodies.h"
#include "camera_param.h"
#include "marker_result.h"
#include "rigid_pose.h"

// A member's corners may be off its fit by this share of its side in the
// image (at least kMemberTightPx) and still count as agreeing: well above
// the corners' noise, well below a member moved by a third of its width.
constexpr double kMemberAgreeShare = 0.1;
constexpr double kMemberTightPx = 2.0;
// A fit whose RMS stays under this share of the agreement limit explains
// its members as their corners' noise allows.
constexpr double kWellExplainedShare = 0.25;
// A member seen so obliquely that its corners enclose less than this share
// of its longest side squared is seen edge-on and cannot be trusted.
constexpr double kEdgeOnAreaShare = 0.03;
// A member's residuals count by the cosine of its slant to the line of
// sight, but never less than this (about 87 degrees).
constexpr double kLeastFacingCosine = 0.05;

struct BodyPose {
    std::string name;
    RigidPose pose;                     // body to camera, mm
    double quaternion[4] = {1, 0, 0, 0}; // QW QX QY QZ of pose.R
    double glMatrix[16] = {};           // pose as `glmatrix`, column-major
    std::vector<std::string> members;   // used in the fit, in the body's order
    std::vector<std::string> rejected;  // in view but left out
    double rmsPx = 0.0;                 // corners' RMS distance from the fit, observed pixels
    // Body to world, when a world frame is known.
    bool hasWorld = false;
    double worldPosition[3] = {};
    double worldQuaternion[4] = {1, 0, 0, 0};
};

// Bodies with a pose in the latest frame, in the bodies file's order.
using BodyTable = std::vector<BodyPose>;

// A member of `body` as seen in one frame: its marker pose (marker to
// camera) and its corners, ideal pixels in pattern order.
struct MemberSighting {
    size_t member = 0;
    RigidPose markerPose;
    double corner[4][2] = {};
};

// The other pose a lone square fits almost as well: its normal mirrored
// about the line of sight to its centre. The same pose when it faces the
// camera squarely.
RigidPose mirroredMarkerPose(const RigidPose& marker);

// Marker frame to body frame of a member with a known pose.
RigidPose memberPose(const BodyMember& member);
// Sets a member's pose (marker frame to body frame) from `pose`.
void setMemberPose(BodyMember& member, const RigidPose& pose);
// The member's square corners in the body frame, in pattern order
// ((-w, +w), (+w, +w), (+w, -w), (-w, -w) in its marker frame).
void memberCorners(const BodyMember& member, double corners[4][3]);

// Fits `body` to the sightings of its members. False, `pose` unchanged,
// when no member is usable or the fit is degenerate. With `previous`, the
// body's pose in the frame before, a lone member's pose and its mirror
// (which its four corners cannot tell apart) are both fitted and the one
// nearer `previous` is kept, so a body does not flip when all but one of
// its members are covered.
bool fitBodyPose(const Body& body, const std::vector<MemberSighting>& sightings, const CameraParam& camera,
                 BodyPose& pose, const RigidPose* previous = nullptr);

// The sightings of each tracked body's members among `markers` (the
// likeliest one when a pattern is seen twice), fitted; bodies not in view
// or without a trustworthy fit are left out. `previous` is the table of the
// frame before, when the frames follow one another.
BodyTable fitBodies(const std::vector<Body>& bodies, const ResultTable& markers, const CameraParam& camera,
                    const BodyTable* previous = nullptr);
