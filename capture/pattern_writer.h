#pragma once
// Turning a detected square into a new pattern: its pattern file (the four
// rotations of its interior) and its straightened 80 x 80 thumbnail.
#include <cstdint>
#include <string>
#include <opencv2/core.hpp>
#include "pattern.h"
#include "squares.h"

constexpr int kThumbnailSide = 80;

// Whether a pattern whose rotation 0 is `code` may be written to `path`:
// the reason it may not (no contrast inside its border, so that anything
// dark would match it), or empty. When `warning` is given it also receives,
// if any, the numbered pattern files beside `path` that the new one is
// close to, named, since two near-equal patterns swap identities. The one
// check of every way a pattern is registered.
std::string judgeNewPattern(const PatternCode& code, const std::string& path, std::string* warning = nullptr);

// Writes the pattern file of `marker`, sampled from `frame` (the working-size
// BGRA frame of the latest detection) through its candidate of that
// detection, after judgeNewPattern. 0, or -1 when the marker has no
// candidate there, a rotation cannot be sampled, the pattern is refused (the
// reason in `refusal`; nothing is written) or the file cannot be written.
int writePatternFile(const uint8_t* frame, const MarkerInfo& marker, const char* path,
                     std::string* refusal = nullptr, std::string* warning = nullptr);

// Straightens `marker` from `frame` into `thumbnail` (its size and type are
// kept); the edge from vertex 2 to vertex 3 becomes the top edge.
void warpThumbnail(const MarkerInfo& marker, cv::Mat& thumbnail, const cv::Mat& frame);

// Registers the largest square of `image` (grey, BGR or BGRA; a light margin
// must surround the black border): detects it without lens distortion, with
// the detector's options, and writes its pattern file and its JPEG
// thumbnail. When a dark region passes the area limit (a close-up) and
// nothing is found, or only a square without a pattern (one of the marker's
// own cells), it looks again on a copy reduced to bring that region under
// the limit and, if found there, says so in `note`. 0, or -1 with the
// reason in `error`, which names what was looked for or why the pattern is
// refused. A warning about near-equal patterns beside `patternPath` joins
// `note`.
int registerLargestSquare(const cv::Mat& image, const std::string& patternPath,
                          const std::string& thumbnailPath, std::string& error, std::string* note = nullptr);
