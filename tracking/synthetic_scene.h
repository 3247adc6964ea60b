#pragma once
// The scene the built-in synthetic camera films: the catalogue's patterns,
// each moving on its own smooth path, rendered through a camera parameter.
// Frame k of a scene is the same on every run, so tests can ask for the
// truth of the frame the worker saw.
#include <vector>
#include <opencv2/core.hpp>
#include "camera.h"
#include "camera_param.h"
#include "render.h"

class SyntheticScene {
public:
    SyntheticScene(const CameraParam& camera, std::vector<cv::Mat> patterns, std::vector<double> widthsMm);
    // Data/camera_para.dat (or a default 640 x 480 camera when it cannot be
    // read), the pattern files Data/000.patt onwards and the catalogue's widths.
    static SyntheticScene fromDataDirectory();

    // Frame `frameIndex` (30 a second) as 8-bit BGR, and the truth of each
    // marker in catalogue order when asked.
    cv::Mat render(long frameIndex, std::vector<MarkerTruth>* truth) const;
    void poseAt(size_t marker, long frameIndex, double transform[3][4]) const;
    size_t markerCount() const { return patterns_.size(); }

private:
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
