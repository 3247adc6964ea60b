#pragma once
// Measuring a rigid body of several markers from views of it: the poses of
// its members in the body frame (the first member's own frame), by one
// joint fit of every member's and every view's pose to all the corners
// seen, through the camera's lens (bundle adjustment). Only views in which
// two or more members are seen together tell how the members lie.
#include <string>
#include <vector>
#include "camera_param.h"

// A rigid transform: a point p goes to R p + t (millimetres).
struct RigidPose {
    double R[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    double t[3] = {0, 0, 0};
};

// One member of the body as one view saw it.
struct MemberSighting {
    int member = 0;               // index into the body's members
    double corner[4][2] = {};     // ideal pixels in pattern order (a report's vertex)
    double transform[3][4] = {};  // the marker's own pose, member to camera: where the fit starts
};
using BodyView = std::vector<MemberSighting>;

struct MeasuredMember {
    RigidPose pose;    // member frame to body frame
    double rmsPx = 0;  // over its corners in the views used
    int views = 0;     // views used that saw it
};

struct BodyMeasurement {
    std::vector<MeasuredMember> members;
    std::vector<int> viewsUsed;  // indices into the views given
    double rmsPx = 0;            // over every corner used
    // Sightings whose corners disagreed with the rest (a wrong identity, a
    // member that moved between views), left out of the fit: view, member.
    std::vector<std::pair<int, int>> leftOut;
};

// Fewer views of two members together than this give no measurement: one
// view would do for the geometry, but a few spread the corner noise.
constexpr int kMinBodyViews = 3;

// The members' poses from `views`; widths[m] is member m's printed width in
// millimetres and names[m] its name, for the refusals. `camera` is the
// record at the views' image size. False, with `error` saying why (too few
// views, naming the members that are not linked to the first through views
// they share), and `result` untouched.
bool measureBody(const CameraParam& camera, const std::vector<double>& widths, const std::vector<std::string>& names,
                 const std::vector<BodyView>& views, BodyMeasurement& result, std::string& error);

// The body's pose in one view (body to camera) from all its members'
// corners, the members' poses in the body held: the body's joint fit for a
// single frame. The RMS in pixels, or a negative number when the view shows
// no member.
double fitBodyInView(const CameraParam& camera, const std::vector<double>& widths,
                     const std::vector<RigidPose>& members, const BodyView& view, RigidPose& bodyToCamera);

// The unit quaternion (w, x, y, z), w >= 0, of a rotation, and back.
void quaternionOfRotation(const double R[3][3], double q[4]);
void rotationOfQuaternion(const double q[4], double R[3][3]);

// Composition: (a after b)(p) = a(b(p)); and the inverse.
RigidPose composePoses(const RigidPose& a, const RigidPose& b);
RigidPose invertPose(const RigidPose& pose);
RigidPose poseOfTransform(const double transform[3][4]);
// The angle of the rotation between two poses, degrees.
double rotationAngleDeg(const RigidPose& a, const RigidPose& b);
