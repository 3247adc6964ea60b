#pragma once
// One scene for camera nodes to film from several sides, for the node and
// fusion tests and benchmarks: a Data/ made by the project's own tools, and
// the synthetic sources of cameras placed around it.
//
// The scene: the floor "Floor", a 2 x 2 board of 60 mm markers 20 mm apart
// (Floor_1 .. Floor_4; the world body, its frame Floor_1's), and above it
// the body "Wand", a 2 x 1 board of 40 mm markers 10 mm apart (Wand_1,
// Wand_2), and the free marker "Flag" (50 mm), moving on their paths.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include "camera_param.h"
#include "command_run.h"
#include "paths.h"
#include "render.h"
#include "temp_dir.h"

// Where the cameras look, mm in the world: 100 mm above the floor's
// centre, so that a camera 700 mm away, 30 to 60 degrees up, sees the
// floor below the middle of its image and the moving items above it.
constexpr double kNodeSceneCentre[3] = {40, -40, 100};

// Makes dir/Data for the scene: the shipped Flag pattern alone in the
// catalogue, the two boards registered by `quillmark body board`, and the
// default 640 x 480 camera. False with the reason in `error`.
inline bool makeNodeSceneData(const TempDir& dir, std::string& error) {
    namespace fs = std::filesystem;
    fs::create_directories(dir.file("Data"));
    fs::copy_file(sourceDir() + "/Data/000.patt", dir.file("Data/000.patt"), fs::copy_options::overwrite_existing);
    writeFile(dir.file("Data/pattern_list.txt"), "[Pattern]\tFlag\tData/000.patt\t50\tuse\n");
    const CameraParam camera = defaultCameraParam();
    if (saveCameraParam(dir.file("Data/camera_para.dat").c_str(), 1, &camera) != 0) {
        error = "the camera file cannot be written";
        return false;
    }
    for (const char* board : {"Floor --grid 2x2 --width 60 --gap 20", "Wand --grid 2x1 --width 40 --gap 10"}) {
        const CommandRun made =
            runQuillmark(quillmarkExe(), std::string("body board ") + board + " --pdf " + dir.file("board.pdf"), dir);
        if (made.status != 0) {
            error = "body board " + std::string(board) + ": " + made.err + made.out;
            return false;
        }
    }
    return true;
}

// "synthetic:pose=..." of a camera `distanceMm` from kNodeSceneCentre, at
// `azimuthDeg` about the world's Z from its X axis and `elevationDeg` above
// the horizontal, looking at that point with the image upright; `more`
// adds options (e.g. "hide=Wand").
inline std::string nodeSceneSource(double azimuthDeg, double elevationDeg = 45, double distanceMm = 700,
                                   const std::string& more = "") {
    const double toRadians = M_PI / 180.0, a = azimuthDeg * toRadians, e = elevationDeg * toRadians;
    char text[160];
    std::snprintf(text, sizeof text, "synthetic:pose=%.6f,%.6f,%.6f,%.6f,0,%.6f",
                  kNodeSceneCentre[0] + distanceMm * std::cos(e) * std::cos(a),
                  kNodeSceneCentre[1] + distanceMm * std::cos(e) * std::sin(a),
                  kNodeSceneCentre[2] + distanceMm * std::sin(e), -(90.0 + elevationDeg), azimuthDeg + 90.0);
    return text + (more.empty() ? "" : ";" + more);
}
