#pragma once
// What the body's fits from one view (body_pose.cpp) and from several
// (multi_view_pose.cpp) share: they choose starts and drop sightings alike.

constexpr int kPolishIterations = 20;
// The start is taken from whichever sighting's pose (or mirror) explains the
// others best; a sighting off that start by more than this share of its side
// does not pull the first fit.
constexpr double kStartAgreeShare = 0.3;
// Two starts nearer than this are one start.
constexpr double kDistinctStartRad = 5.0 * 3.14159265358979323846 / 180.0;
// Corners closer than this to one line hold no pose.
constexpr double kLineSpreadPx = 1.0;
// Stands for the error of a corner behind the camera: far off, so a fit
// turns back and a score counts it out.
constexpr double kHuge = 1e12;
