#pragma once
// Turning a detected square into a new pattern: its pattern file (the four
// rotations of its interior) and its straightened 80 x 80 thumbnail.
#include <cstdint>
#include <string>
#include <opencv2/core.hpp>
#include "squares.h"

constexpr int kThumbnailSide = 80;

// Writes the pattern file of `marker`, sampled from `frame` (the working-size
// BGRA frame of the latest detection) through its candidate of that
// detection. 0, or -1 when the marker has no candidate there, a rotation
// cannot be sampled, or the file cannot be written.
int writePatternFile(const uint8_t* frame, const MarkerInfo& marker, const char* path);

// Straightens `marker` from `frame` into `thumbnail` (its size and type are
// kept); the edge from vertex 2 to vertex 3 becomes the top edge.
void warpThumbnail(const MarkerInfo& marker, cv::Mat& thumbnail, const cv::Mat& frame);

// Registers the largest square of `image` (grey, BGR or BGRA; a light margin
// must surround the black border): detects it without lens distortion, with
// the detector's options, and writes its pattern file and its JPEG
// thumbnail. When nothing is found because a dark region passes the area
// limit (a close-up), it looks again on a copy reduced to bring that region
// under the limit and, if found there, says so in `note`. 0, or -1 with the
// reason in `error`, which names what was looked for.
int registerLargestSquare(const cv::Mat& image, const std::string& patternPath,
                          const std::string& thumbnailPath, std::string& error, std::string* note = nullptr);
