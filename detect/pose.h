#pragma once
// Pose of an identified square from its fitted lines and vertices.
#include "squares.h"

constexpr int kPoseMaxPoints = 500;

// The fit error, or -1.0 when no initial rotation could be formed; then the
// transform is all zeros (a zero rotation at depth 0), which no real pose has.
// Model corner 0 (-w, +w) pairs with vertex[(4 - dir) % 4], the pattern's
// top-left corner; an unidentified marker (dir -1) is solved as dir 0.
double estimateMarkerPose(const MarkerInfo& marker, const double centre[2], double width,
                          double transform[3][4]);

// Internal steps, exposed for tests.
int initialRotation(const MarkerInfo& marker, const double P[3][4], double R[3][3]);
int orientEdgeDirection(double g[3], const double start[2], const double end[2], const double P[3][4]);
int orthogonaliseDirections(double a[3], double b[3]);
double solvePose(double R[3][3], double t[3], const double image[][2], const double model[][3], int n);
double refineRotation(double R[3][3], const double t[3], const double P[3][4], const double model[][3],
                      const double observed[][2], int n);
void rotationToAngles(double R[3][3], double* a, double* b, double* c);
void anglesToRotation(double a, double b, double c, double R[3][3]);
