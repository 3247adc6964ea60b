#pragma once
// One found and identified marker of the latest frame, as reported.
#include <string>
#include <vector>

struct MarkerResult {
    int patternId = -1;
    std::string name;
    double width = 0.0;       // mm, from the catalogue
    double px = 0.0, py = 0.0;// centre, observed pixels
    int area = 0;
    double cf = 0.0;
    double dx = 0.0, dy = 0.0;// unit vector towards the middle of edge 0-1
    double vertex[4][2] = {}; // pattern order
    double X = 0.0, Y = 0.0, Z = 0.0; // mm, camera coordinates
    double glMatrix[16] = {}; // column-major
    // Marker to world, when a world frame is known (an opt-in); otherwise unset.
    bool hasWorld = false;
    double worldPosition[3] = {};              // mm
    double worldQuaternion[4] = {1, 0, 0, 0};  // QW QX QY QZ
};

// Markers of the latest processed frame, in detector order.
using ResultTable = std::vector<MarkerResult>;
