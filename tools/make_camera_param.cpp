// Writes the shipped camera calibration: a 640 x 480 webcam with a field of
// view of about 60 degrees across and mild barrel distortion.
//   make_camera_param [OUT]   (default Data/camera_para.dat)
#include <cstdio>
#include "camera_param.h"

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "Data/camera_para.dat";
    CameraParam camera;
    camera.xsize = 640;
    camera.ysize = 480;
    // 320 / tan(30 degrees) = 554 px; the principal point is slightly off
    // centre and the pixels slightly taller than wide, as real sensors are.
    const double fx = 556.8, fy = 558.1, cx = 322.4, cy = 236.8;
    camera.projection[0][0] = fx;
    camera.projection[0][2] = cx;
    camera.projection[1][1] = fy;
    camera.projection[1][2] = cy;
    camera.projection[2][2] = 1.0;
    // Radial factor 14.6e-8 per squared pixel: a point at the image corner
    // (400 px out) is seen about 2.3 % nearer the centre.
    camera.distortion[0] = cx;
    camera.distortion[1] = cy;
    camera.distortion[2] = 14.6;
    camera.distortion[3] = 1.0;
    if (saveCameraParam(path, 1, &camera) < 0) {
        std::fprintf(stderr, "make_camera_param: cannot write %s\n", path);
        return 1;
    }
    printCameraParam(camera, stdout);
    return 0;
}
