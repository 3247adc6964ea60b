#pragma once
// Camera intrinsics, their big-endian file, the width-only size change and
// the lens distortion mappings between observed and ideal pixel positions.
#include <cstdint>
#include <cstdio>

struct CameraParam {
    int32_t xsize = 0;            // image width the record holds for, pixels
    int32_t ysize = 0;            // image height, pixels
    double projection[3][4] = {}; // pixel = projection x homogeneous camera point
    double distortion[4] = {};    // x0, y0 (centre, px), f (radial factor x 1e8), s (scale)
};

constexpr int kCameraParamRecordBytes = 136;

// Reads `count` consecutive records from `path` (big-endian). 0 when all were
// read; -1 when count < 1, the file cannot be opened or ends early.
int loadCameraParam(const char* path, int count, CameraParam* records);
// Writes the records in the same layout; 0, or -1 when the file cannot be written.
int saveCameraParam(const char* path, int count, const CameraParam* records);
// `source.xsize` must not be 0: callers check the load result first.
int scaleCameraParam(const CameraParam& source, int newWidth, int newHeight, CameraParam& out);
int printCameraParam(const CameraParam& record, FILE* out = stdout);
// Installs the record as the detector's working parameter and sizes the
// per-frame storage for its image size.
int setWorkingCameraParam(const CameraParam& record);

int observedToIdeal(const double distortion[4], double ox, double oy, double* ix, double* iy);
int idealToObserved(const double distortion[4], double ix, double iy, double* ox, double* oy);
