#pragma once
// The rigid bodies of the latest frame as clients get them, beside the
// marker table and under the same lock, and their Command-Mode texts:
//   bodies       "Num= n" and one line per body with a pose
//   body <name>  the same for that body alone
//   camera       one line, the camera's pose in the world
// A body's line is name,X,Y,Z,QW,QX,QY,QZ,members,rms (camera frame, mm;
// members the count used in the fit; rms in pixels), numbers "%lf".
#include <atomic>
#include <string>
#include "body_pose.h"
#include "world_frame.h"

// Touch only under ResultTableLock, like LatestResults.
extern BodyTable LatestBodies;
extern CameraInWorld LatestCamera;

// True while a run tracks bodies (a bodies file was read at its start):
// only then does Command Mode know the body commands and "help" list them.
extern std::atomic<bool> BodiesServed;

std::string formatBodyLine(const BodyPose& body);
std::string bodiesReportText(const BodyTable& bodies);
std::string namedBodyReportText(const BodyTable& bodies, const std::string& name);
// X,Y,Z,QW,QX,QY,QZ of the camera in the world, with "\n"; "*error\n"
// while its pose is not known (no world frame, or the world body not seen yet).
std::string cameraReportText(const CameraInWorld& camera);
