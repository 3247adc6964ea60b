#pragma once
// Camera intrinsics, their big-endian file, the width-only size change and
// the lens distortion mappings between observed and ideal pixel positions.
#include <cstdint>
#include <cstdio>
#include <string>

struct CameraParam {
    int32_t xsize = 0;            // image width the record holds for, pixels
    int32_t ysize = 0;            // image height, pixels
    double projection[3][4] = {}; // pixel = projection x homogeneous camera point
    double distortion[4] = {};    // x0, y0 (centre, px), f (radial factor x 1e8), s (scale)
};

constexpr int kCameraParamRecordBytes = 136;
// Where the camera's record lives, relative to the working directory.
constexpr char kCameraParamPath[] = "Data/camera_para.dat";
// The file's radial factor is the coefficient per squared pixel times this.
constexpr double kRadialFactorScale = 100000000.0;

// Reads `count` consecutive records from `path` (big-endian). 0 when all were
// read; -1 when count < 1, the file cannot be opened or ends early.
int loadCameraParam(const char* path, int count, CameraParam* records);
// Writes the records in the same layout; 0, or -1 when the file cannot be written.
int saveCameraParam(const char* path, int count, const CameraParam* records);
// Adapts a record to another image size by the width ratio alone. -1 (out
// untouched) for a source of width 0 or less, such as a zeroed record.
int scaleCameraParam(const CameraParam& source, int newWidth, int newHeight, CameraParam& out);
int printCameraParam(const CameraParam& record, FILE* out = stdout);
// Why `record` cannot stand for a camera: an image size that is not 16 to
// 100000 pixels a side, a number that is not finite, focal lengths that
// are not 0.05 to 100 times the longer side, a distortion scale that is
// not 0.01 to 100, or a radial factor that folds the frame over. Empty
// when it can.
std::string cameraParamProblem(const CameraParam& record);
// Reads the first record of `path` and checks it as above. False with
// `error` naming the file and what is wrong with it.
bool readCameraParamFile(const char* path, CameraParam& record, std::string& error);
// Scaling by the width alone keeps the record's aspect; frames of another
// aspect (a portrait camera and a landscape record, say) get wrong focal
// lengths and centre. A warning saying so, or empty when the aspects agree.
std::string cameraScaleWarning(const CameraParam& source, int newWidth, int newHeight);
// Installs the record as the detector's working parameter and sizes the
// per-frame storage for its image size. -1, with the previous installation
// kept, for a size that is not positive or above 2^28 pixels, or when the
// storage cannot be had.
int setWorkingCameraParam(const CameraParam& record);

int observedToIdeal(const double distortion[4], double ox, double oy, double* ix, double* iy);
int idealToObserved(const double distortion[4], double ix, double iy, double* ox, double* oy);
