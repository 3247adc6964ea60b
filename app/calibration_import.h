#pragma once
// What quillmark calibrate does with a calibration once it has one: an
// OpenCV or ROS file converted into the record, and the record written as
// Data/camera_para.dat with every previous file kept. Each prints what it
// did on standard output and why it refused on standard error.
#include <string>
#include <opencv2/core.hpp>
#include "camera_param.h"

// Converts `path` for images of `size` (0 x 0: the size the file gives)
// and writes the record; the process exit status.
int importCalibrationFile(const std::string& path, cv::Size size);

// Writes `record` as Data/camera_para.dat; false, with nothing changed,
// when it is no usable camera or cannot be written whole.
bool writeCalibrationRecord(const CameraParam& record);
