// What the sub-pixel corner refinement and the pose's fit through the lens
// give, on rendered frames: corner and pose accuracy with the refinement off
// and on, with and without a strongly distorting lens; the jitter of one
// static marker over frames that differ only in their noise; and what the
// refinement costs per frame. Prints a table per part and checks the goals
// after the measurements; exits non-zero when one is missed.
//
// Frames: markers of 60 px and more (a quarter to a half of the shorter
// side of the frame over four markers), tilted up to 50 degrees about a
// random in-plane axis, any roll, blur 0.6 px, noise 2 grey levels, at
// 640x480 and 1280x720. The distorting lens has f = 40 at 640x480 (a corner
// of the image moves inwards by about 4 %) and s = 0.995; the plain one the
// project's slight barrel (f = 5).
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>
#include "bench_stats.h"
#include "detect_markers.h"
#include "detector_state.h"
#include "pattern.h"
#include "pose.h"
#include "refine.h"
#include "render.h"
#include "squares.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kWidthMm = 80.0;
constexpr int kMarkers = 4;
constexpr double kPi = 3.14159265358979323846;

struct Lens {
    const char* name;
    double factorAt640;
    double scale;
};
const Lens kPlain{"f 5", 5.0, 1.0};
const Lens kStrong{"f 40, s 0.995", 40.0, 0.995};

CameraParam cameraFor(int width, int height, const Lens& lens) {
    const double k = width / 640.0;
    CameraParam camera = makeCameraParam(width, height, 700.0 * k, lens.factorAt640 / (k * k));
    camera.distortion[3] = lens.scale;
    return camera;
}

double rotationAngleDeg(const double a[3][4], const double b[3][4]) {
    double trace = 0.0;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) trace += a[r][c] * b[r][c];
    return std::acos(std::max(-1.0, std::min(1.0, (trace - 1.0) / 2.0))) * 180.0 / kPi;
}

double distance(const double a[3][4], const double b[3][4]) {
    return std::sqrt(std::pow(a[0][3] - b[0][3], 2) + std::pow(a[1][3] - b[1][3], 2) + std::pow(a[2][3] - b[2][3], 2));
}

// The detector installed for one camera with the benchmark's patterns.
void install(const CameraParam& camera, const std::vector<std::string>& patternFiles) {
    resetDetector();
    setWorkingCameraParam(camera);
    for (const std::string& path : patternFiles) loadPatternFile(path.c_str());
}

struct Scene {
    cv::Mat frame; // BGRA
    std::vector<MarkerTruth> truth;
};

Scene renderScene(const CameraParam& camera, const std::vector<cv::Mat>& patterns, int index) {
    const int width = camera.xsize, height = camera.ysize;
    cv::RNG rng(width * 7919 + index * 131 + static_cast<int>(camera.distortion[2] * 10));
    const double focal = camera.projection[0][0];
    const double shorter = std::min(width, height);
    std::vector<PrintedMarker> printed;
    for (int i = 0; i < kMarkers; ++i) {
        PrintedMarker marker;
        marker.pattern = patterns[i];
        marker.widthMm = kWidthMm;
        const double side = std::max(60.0, rng.uniform(0.125, 0.3) * shorter);
        const double tilt = rng.uniform(0.0, 50.0), axis = rng.uniform(0.0, 2 * kPi);
        poseFromView(camera, focal * kWidthMm / side, tilt * std::cos(axis), tilt * std::sin(axis),
                     rng.uniform(0.0, 360.0), width * (i % 2 + rng.uniform(0.4, 0.6)) / 2,
                     height * (i / 2 + rng.uniform(0.4, 0.6)) / 2, marker.transform);
        printed.push_back(marker);
    }
    RenderSettings settings;
    settings.width = width;
    settings.height = height;
    settings.blurSigmaPx = 0.6;
    settings.noiseSigma = 2.0;
    settings.clutterCount = 20;
    settings.seed = static_cast<uint32_t>(index + 1);
    Scene scene;
    scene.frame = toDetectorFrame(renderFrame(camera, printed, settings, &scene.truth));
    return scene;
}

struct Accuracy {
    std::vector<double> cornerSquared, translationPct, rotationDeg;
    int found = 0, expected = 0;
};

void measure(const Scene& scene, Accuracy& out) {
    MarkerInfo* markers;
    int count;
    detectMarkers(scene.frame.data, 100, &markers, &count);
    const double centre[2] = {0.0, 0.0};
    out.expected += static_cast<int>(scene.truth.size());
    for (int i = 0; i < count; ++i) {
        const MarkerInfo& m = markers[i];
        if (m.id < 0 || m.id >= static_cast<int>(scene.truth.size())) continue;
        const MarkerTruth& truth = scene.truth[m.id];
        for (int k = 0; k < 4; ++k) {
            const double* v = m.vertex[(k + 4 - m.dir) % 4];
            out.cornerSquared.push_back(std::pow(v[0] - truth.corner[k][0], 2) + std::pow(v[1] - truth.corner[k][1], 2));
        }
        double T[3][4];
        estimateMarkerPose(m, centre, kWidthMm, T);
        out.translationPct.push_back(100.0 * distance(T, truth.transform) / truth.transform[2][3]);
        out.rotationDeg.push_back(rotationAngleDeg(T, truth.transform));
        ++out.found;
    }
}

double rms(const std::vector<double>& squared) {
    double sum = 0.0;
    for (double s : squared) sum += s;
    return squared.empty() ? NAN : std::sqrt(sum / squared.size());
}

// Standard deviation of a list of values.
double spread(const std::vector<double>& values) {
    double mean = 0.0, sq = 0.0;
    for (double v : values) mean += v;
    mean /= values.size();
    for (double v : values) sq += (v - mean) * (v - mean);
    return std::sqrt(sq / (values.size() - 1));
}

struct Jitter {
    double translationMm, rotationDeg;
    int frames;
};

// One static marker, `frames` copies of the same noiseless frame each with
// fresh noise of 2 grey levels. Translation jitter: the standard deviation
// of the distance from the mean position; rotation jitter: of the angle from
// the mean rotation (taken as the first frame's, the spread is what counts).
Jitter measureJitter(const CameraParam& camera, const std::vector<std::string>& files, const cv::Mat& pattern,
                     bool refine, int frames) {
    PrintedMarker marker;
    marker.pattern = pattern;
    marker.widthMm = kWidthMm;
    poseFromView(camera, 700.0 * kWidthMm / 100.0, 30.0, -15.0, 25.0, 300, 260, marker.transform);
    RenderSettings settings;
    settings.blurSigmaPx = 0.6;
    const cv::Mat clean = renderFrame(camera, {marker}, settings);
    install(camera, files);
    detectorState().options.cornerRefine = refine;
    cv::RNG rng(12345);
    std::vector<double> x[3], angle;
    double first[3][4] = {};
    bool haveFirst = false;
    for (int f = 0; f < frames; ++f) {
        cv::Mat noisy = clean.clone();
        addSensorNoise(noisy, 2.0, rng);
        const cv::Mat frame = toDetectorFrame(noisy);
        MarkerInfo* markers;
        int count;
        detectMarkers(frame.data, 100, &markers, &count);
        for (int i = 0; i < count; ++i) {
            if (markers[i].id != 0) continue;
            const double centre[2] = {0.0, 0.0};
            double T[3][4];
            estimateMarkerPose(markers[i], centre, kWidthMm, T);
            if (!haveFirst) std::copy(&T[0][0], &T[0][0] + 12, &first[0][0]), haveFirst = true;
            for (int r = 0; r < 3; ++r) x[r].push_back(T[r][3]);
            angle.push_back(rotationAngleDeg(T, first));
        }
    }
    Jitter j{0.0, spread(angle), static_cast<int>(angle.size())};
    // Spread of the position: the root of the summed variances of x, y, z.
    for (int r = 0; r < 3; ++r) j.translationMm += std::pow(spread(x[r]), 2);
    j.translationMm = std::sqrt(j.translationMm);
    return j;
}

// Median ms per frame (detection plus a pose per identified marker) with the
// refinement off and on, in alternating rounds so that a busy spell of the
// shared machine falls on both.
void timeBoth(const std::vector<Scene>& scenes, double seconds, double ms[2]) {
    std::vector<double> samples[2];
    double spent = 0.0;
    const double centre[2] = {0.0, 0.0};
    while (spent < seconds || samples[0].size() < 20) {
        for (int refine = 0; refine < 2; ++refine) {
            detectorState().options.cornerRefine = refine != 0;
            for (const Scene& scene : scenes) {
                const auto t0 = Clock::now();
                MarkerInfo* markers;
                int count;
                detectMarkers(scene.frame.data, 100, &markers, &count);
                double T[3][4];
                for (int i = 0; i < count; ++i)
                    if (markers[i].id >= 0) estimateMarkerPose(markers[i], centre, kWidthMm, T);
                const double elapsed = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
                samples[refine].push_back(elapsed);
                spent += elapsed / 1000.0;
            }
        }
    }
    ms[0] = median(samples[0]);
    ms[1] = median(samples[1]);
}

// Corner error against the marker's size and tilt, without lens distortion:
// one marker a frame, `frames` frames a cell, each with its own roll, tilt
// axis and place. The side is the one the marker would show facing the
// camera; a tilted one is that long along its axis of tilt and shorter
// across it. Detection runs without the refinement, and each identified
// marker is then refined here, so that both corner sets come from the same
// contour; "kept" counts the markers whose refinement left a side on its
// contour line. Returns the largest median of the refined corners' RMS.
double measureGrid(const std::vector<cv::Mat>& patterns, const std::vector<std::string>& files, int frames,
                   double blur, double noise) {
    const int width = 1280, height = 720;
    const CameraParam camera = makeCameraParam(width, height, 1400.0, 0.0);
    install(camera, files);
    detectorState().options.cornerRefine = false;
    const double sides[] = {30, 45, 60, 90, 120, 180, 250, 300};
    const double tilts[] = {0, 20, 40, 55, 65, 70};
    std::printf("\nCorner RMS px against side and tilt (1280x720, no distortion, blur %.1f px, noise %.0f): "
                "median over %d markers a cell of each marker's RMS, refined (contour); kept = markers with "
                "a side left on its contour line\n\n| side px |", blur, noise, frames);
    for (double tilt : tilts) std::printf(" tilt %.0f |", tilt);
    std::printf("\n|---:|");
    for (size_t t = 0; t < std::size(tilts); ++t) std::printf("---|");
    std::printf("\n");
    double worst = 0.0;
    for (double side : sides) {
        std::printf("| %.0f |", side);
        for (double tilt : tilts) {
            std::vector<double> on, off;
            int kept = 0, missed = 0;
            for (int f = 0; f < frames; ++f) {
                cv::RNG rng(static_cast<uint64_t>(side * 1000 + tilt * 10 + f + 1));
                PrintedMarker marker;
                marker.pattern = patterns[f % patterns.size()];
                marker.widthMm = kWidthMm;
                const double axis = rng.uniform(0.0, 2 * kPi);
                poseFromView(camera, 1400.0 * kWidthMm / side, tilt * std::cos(axis), tilt * std::sin(axis),
                             rng.uniform(0.0, 360.0), width / 2 + rng.uniform(-200.0, 200.0),
                             height / 2 + rng.uniform(-100.0, 100.0), marker.transform);
                RenderSettings settings;
                settings.width = width;
                settings.height = height;
                settings.blurSigmaPx = blur;
                settings.noiseSigma = noise;
                settings.seed = static_cast<uint32_t>(f + 7);
                std::vector<MarkerTruth> truth;
                const cv::Mat frame = toDetectorFrame(renderFrame(camera, {marker}, settings, &truth));
                MarkerInfo* markers;
                int count;
                detectMarkers(frame.data, 100, &markers, &count);
                const int wanted = static_cast<int>(f % patterns.size());
                const MarkerInfo* found = nullptr;
                for (int i = 0; i < count; ++i)
                    if (markers[i].id == wanted) found = &markers[i];
                if (!found) {
                    ++missed;
                    continue;
                }
                MarkerInfo refined = *found;
                if (refineMarkerEdges(frame.data, width, height, camera.distortion, refined) < 4) ++kept;
                double sumOn = 0.0, sumOff = 0.0;
                for (int k = 0; k < 4; ++k) {
                    const int v = (k + 4 - found->dir) % 4;
                    sumOn += std::pow(refined.vertex[v][0] - truth[0].corner[k][0], 2) +
                             std::pow(refined.vertex[v][1] - truth[0].corner[k][1], 2);
                    sumOff += std::pow(found->vertex[v][0] - truth[0].corner[k][0], 2) +
                              std::pow(found->vertex[v][1] - truth[0].corner[k][1], 2);
                }
                on.push_back(std::sqrt(sumOn / 4));
                off.push_back(std::sqrt(sumOff / 4));
            }
            const double m = median(on);
            if (std::isfinite(m)) worst = std::max(worst, m);
            std::printf(" %.3f (%.2f)", m, median(off));
            if (kept) std::printf(" kept %d", kept);
            if (missed) std::printf(" missed %d", missed);
            std::printf(" |");
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    return worst;
}

} // namespace

int main(int argc, char** argv) {
    const int framesPerSet = argc > 1 ? std::max(1, std::atoi(argv[1])) : 12;
    const int jitterFrames = argc > 2 ? std::max(10, std::atoi(argv[2])) : 200;
    // A third argument runs only the table of corner error against side and
    // tilt with that many markers a cell; 0 runs all but that table.
    const int gridFrames = argc > 3 ? std::max(0, std::atoi(argv[3])) : 8;
    const bool gridOnly = argc > 3 && gridFrames > 0;
    // Per process: other runs on the same machine must not share the files.
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("quillmark-refine-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::vector<cv::Mat> patterns;
    std::vector<std::string> files;
    for (int i = 0; i < kMarkers; ++i) {
        patterns.push_back(makeRandomPattern(300 + i));
        files.push_back((dir / ("p" + std::to_string(i) + ".patt")).string());
        writePatternImageFile(files.back().c_str(), patterns.back());
    }
    std::vector<std::string> missed;
    auto goal = [&missed](bool met, const std::string& what) {
        if (!met) missed.push_back(what);
    };

    if (gridOnly) {
        for (const double blur : {0.6, 1.2}) measureGrid(patterns, files, gridFrames, blur, 2.0);
        std::filesystem::remove_all(dir);
        return 0;
    }
    std::printf("Accuracy: %d frames of %d markers per set; medians over the found markers\n\n", framesPerSet, kMarkers);
    std::printf("| frame | lens | refine | found | corner RMS px | translation median %% | p90 %% | rotation median deg |\n");
    std::printf("|---|---|---|---:|---:|---:|---:|---:|\n");
    const int sizes[][2] = {{640, 480}, {1280, 720}};
    double offMedian[2][2] = {}; // [size][lens]
    for (int s = 0; s < 2; ++s) {
        for (int l = 0; l < 2; ++l) {
            const Lens& lens = l ? kStrong : kPlain;
            const CameraParam camera = cameraFor(sizes[s][0], sizes[s][1], lens);
            std::vector<Scene> scenes;
            for (int f = 0; f < framesPerSet; ++f) scenes.push_back(renderScene(camera, patterns, f));
            for (int refine = 0; refine < 2; ++refine) {
                install(camera, files);
                detectorState().options.cornerRefine = refine != 0;
                Accuracy a;
                for (const Scene& scene : scenes) measure(scene, a);
                const double corner = rms(a.cornerSquared), t = median(a.translationPct), r = median(a.rotationDeg);
                std::printf("| %dx%d | %s | %s | %d/%d | %.3f | %.3f | %.3f | %.3f |\n", sizes[s][0], sizes[s][1],
                            lens.name, refine ? "on" : "off", a.found, a.expected, corner, t,
                            percentile(a.translationPct, 0.9), r);
                const std::string set = std::to_string(sizes[s][0]) + "x" + std::to_string(sizes[s][1]) + " " + lens.name;
                goal(a.found == a.expected, set + ": every marker found");
                if (refine) {
                    goal(corner <= 0.1, set + ": corner RMS <= 0.1 px with refinement");
                    goal(t <= 0.3, set + ": translation median <= 0.3 % with refinement");
                    goal(r <= 0.3, set + ": rotation median <= 0.3 deg with refinement");
                } else {
                    offMedian[s][l] = t;
                }
            }
            std::fflush(stdout);
        }
        goal(offMedian[s][1] <= offMedian[s][0] + 0.3,
             std::to_string(sizes[s][0]) + ": distortion costs the unrefined translation <= 0.3 points");
    }

    for (const double blur : {0.6, 1.2})
        if (gridFrames > 0)
            goal(measureGrid(patterns, files, gridFrames, blur, 2.0) <= 0.1,
             "blur " + std::to_string(blur).substr(0, 3) + ": corner RMS median <= 0.1 px at every side and tilt");

    std::printf("\nJitter: one static marker (100 px, tilt 30/-15 deg) at 640x480, %d frames with fresh noise of 2 grey levels\n\n",
                jitterFrames);
    std::printf("| lens | refine | frames | translation sd mm | rotation sd deg |\n|---|---|---:|---:|---:|\n");
    for (const Lens* lens : {&kPlain, &kStrong}) {
        const CameraParam camera = cameraFor(640, 480, *lens);
        const Jitter off = measureJitter(camera, files, patterns[0], false, jitterFrames);
        const Jitter on = measureJitter(camera, files, patterns[0], true, jitterFrames);
        std::printf("| %s | off | %d | %.4f | %.4f |\n", lens->name, off.frames, off.translationMm, off.rotationDeg);
        std::printf("| %s | on | %d | %.4f | %.4f |\n", lens->name, on.frames, on.translationMm, on.rotationDeg);
        std::printf("| %s | off / on | | %.1f x | %.1f x |\n", lens->name, off.translationMm / on.translationMm,
                    off.rotationDeg / on.rotationDeg);
        goal(off.translationMm >= 5 * on.translationMm && off.rotationDeg >= 5 * on.rotationDeg,
             std::string(lens->name) + ": jitter at least 5 x lower with refinement");
    }

    const CameraParam camera = cameraFor(640, 480, kPlain);
    install(camera, files);
    std::vector<Scene> scenes;
    for (int f = 0; f < 6; ++f) scenes.push_back(renderScene(camera, patterns, 100 + f));
    double ms[2];
    timeBoth(scenes, 1.0, ms);
    std::printf("\nCost at 640x480 with 4 markers (detection and poses): off %.3f ms, on %.3f ms per frame: +%.1f %%\n",
                ms[0], ms[1], 100.0 * (ms[1] / ms[0] - 1.0));
    goal(ms[1] <= 1.2 * ms[0], "refinement adds at most 20 % per frame");

    std::filesystem::remove_all(dir);
    std::printf("\ngoals: %s\n", missed.empty() ? "all met" : "missed:");
    for (const std::string& m : missed) std::printf("  %s\n", m.c_str());
    return missed.empty() ? 0 : 1;
}
