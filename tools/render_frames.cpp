// Renders a benchmark frame: COUNT catalogued markers in a grid, each turned
// and tilted a little, seen through the data folder's camera scaled to the
// frame size.
//   render_frames DATA_DIR WIDTH HEIGHT COUNT OUT.png
// The markers cycle through DATA_DIR/000.patt, 001.patt, ... as far as they exist.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>
#include <opencv2/imgcodecs.hpp>
#include "pattern_file.h"
#include "render.h"

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: render_frames DATA_DIR WIDTH HEIGHT COUNT OUT.png\n");
        return 2;
    }
    const std::string dataDir = argv[1];
    const int width = std::atoi(argv[2]), height = std::atoi(argv[3]), count = std::atoi(argv[4]);
    if (width < 64 || height < 64 || count < 1) {
        std::fprintf(stderr, "render_frames: bad size or count\n");
        return 2;
    }
    CameraParam stored, camera;
    if (loadCameraParam((dataDir + "/camera_para.dat").c_str(), 1, &stored) < 0 ||
        scaleCameraParam(stored, width, height, camera) < 0) {
        std::fprintf(stderr, "render_frames: cannot read %s/camera_para.dat\n", dataDir.c_str());
        return 1;
    }
    std::vector<cv::Mat> patterns;
    for (int i = 0;; ++i) {
        const std::string path = dataDir + "/" + numberedFileName(i, ".patt");
        cv::Mat pattern;
        if (readPatternImage(path.c_str(), pattern) < 0) break;
        patterns.push_back(pattern);
    }
    if (patterns.empty()) {
        std::fprintf(stderr, "render_frames: no pattern files in %s\n", dataDir.c_str());
        return 1;
    }

    int columns = static_cast<int>(std::ceil(std::sqrt(count * double(width) / height)));
    const int rows = (count + columns - 1) / columns;
    columns = (count + rows - 1) / rows;
    const double cell = std::min(double(width) / columns, double(height) / rows);
    const double focal = camera.projection[0][0];
    const double widthMm = 80.0;
    // The black square takes a little under half a cell, leaving room for
    // its paper and for the tilt, and at most 240 px: the detector takes no
    // region above 100000 pixels.
    const double sidePx = std::min(0.45 * cell, 240.0);
    const double distanceMm = focal * widthMm / sidePx;
    std::vector<PrintedMarker> markers;
    for (int i = 0; i < count; ++i) {
        PrintedMarker marker;
        marker.pattern = patterns[i % patterns.size()];
        marker.widthMm = widthMm;
        const double x = (i % columns + 0.5) * width / columns;
        const double y = (i / columns + 0.5) * height / rows;
        poseFromView(camera, distanceMm, 12.0 * ((i % 3) - 1), 10.0 * ((i % 2) ? 1 : -1), 37.0 * i, x, y,
                     marker.transform);
        markers.push_back(marker);
    }
    RenderSettings settings;
    settings.width = width;
    settings.height = height;
    settings.noiseSigma = 2.0;
    settings.blurSigmaPx = 0.6;
    if (!cv::imwrite(argv[5], renderFrame(camera, markers, settings))) {
        std::fprintf(stderr, "render_frames: cannot write %s\n", argv[5]);
        return 1;
    }
    return 0;
}
