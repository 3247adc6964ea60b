#pragma once
// The scene the built-in synthetic camera films: the catalogue's patterns,
// each moving on its own smooth path, rendered through a camera parameter.
// The members of each tracked body (Data/body_list.txt) move together, at
// their places on the body, on the body's own path.
// Frame k of a scene is the same on every run, so tests can ask for the
// truth of the frame the worker saw.
#include <vector>
#include <opencv2/core.hpp>
#include "camera.h"
#include "bodies.h"
#include "camera_param.h"
#include "render.h"

class SyntheticScene {
public:
    // `bodies` name patterns by their catalogue row (patternId); the tracked
    // ones are filmed as bodies.
    SyntheticScene(const CameraParam& camera, std::vector<cv::Mat> patterns, std::vector<double> widthsMm,
                   std::vector<Body> bodies = {});
    // Data/camera_para.dat (or a default 640 x 480 camera when it cannot be
    // read), the pattern files Data/000.patt onwards, the catalogue's widths
    // and the bodies of Data/body_list.txt when there is one.
    static SyntheticScene fromDataDirectory();

    // Frame `frameIndex` (30 a second) as 8-bit BGR, and the truth of each
    // marker in catalogue order when asked.
    cv::Mat render(long frameIndex, std::vector<MarkerTruth>* truth) const;
    // Marker `marker` (a catalogue row) to camera in frame `frameIndex`:
    // its own path, or its place on its body.
    void poseAt(size_t marker, long frameIndex, double transform[3][4]) const;
    size_t markerCount() const { return patterns_.size(); }
    // The tracked bodies filmed, and body `body`'s pose (body to camera).
    const std::vector<Body>& bodies() const { return bodies_; }
    RigidPose bodyPoseAt(size_t body, long frameIndex) const;

private:
    // Item i of the scene (a free marker or a body) on its own cell's path,
    // `extentMm` across.
    void pathPose(size_t item, double extentMm, long frameIndex, double transform[3][4]) const;
    std::vector<int> bodyOf_;   // per marker: its body, or -1
    std::vector<int> itemOf_;   // per marker and then per body: its cell
    size_t items_ = 0;
    std::vector<Body> bodies_;
    CameraParam camera_;
    std::vector<cv::Mat> patterns_;
    std::vector<double> widthsMm_;
    RenderSettings settings_;
    // Sensor noise, drawn once: a frame adds the positive and subtracts the
    // negative part of a window that moves with the frame number, so every
    // frame is grainy without the cost of fresh random numbers.
    cv::Mat noisePositive_, noiseNegative_;
};

const CameraBackendKind& syntheticCameraKind();
