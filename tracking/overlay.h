#pragma once
// The preview's drawing of one found marker onto the worker's BGRA frame:
// outline, direction stroke, centre coordinates and pattern name.
#include <string>
#include <opencv2/core.hpp>
#include "marker_result.h"

// Channel order blue, green, red, alpha; alpha stays 0 as in the frame the
// worker converts from BGR.
const cv::Scalar OverlayRed(0, 0, 255, 0);
const cv::Scalar OverlayYellow(0, 255, 255, 0);
const cv::Scalar OverlayWhite(255, 255, 255, 0);
const cv::Scalar OverlayBlack(0, 0, 0, 0);

// Outline in red, centre "(x,y)" in yellow at the centre, name in white
// 10 px left of and 50 px below the centre. Later calls draw over earlier ones.
void drawMarkerOverlay(cv::Mat& bgra, const MarkerResult& result);

// The quadrilateral through the four vertices and a stroke from the centre
// across the middle of edge 0-1, the way the marker points.
void drawMarkerOutline(cv::Mat& bgra, const MarkerResult& result, const cv::Scalar& colour);

// Hershey duplex text with its bottom-left corner at (x, y): a thick black
// pass under a thin coloured one, legible on any background.
void drawOutlinedText(cv::Mat& bgra, const std::string& text, int x, int y, const cv::Scalar& colour, double scale);
