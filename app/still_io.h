#pragma once
// What the still-image commands (detect, pattern, marker) share: the files of
// Data/, reading an image in words a user can act on, the stored settings,
// and a standard output that carries nothing but what the command reports.
#include <cstdio>
#include <string>
#include <opencv2/core.hpp>
#include "catalogue.h"
#include "config.h"

extern const char* const kCameraParamPath;
extern const char* const kPatternListPath;
extern const char* const kConfigPath;

// Reads an image file, or says in `error` what is wrong with it: one problem
// gives one line, never a decoder's warning.
bool readImage(const std::string& path, cv::Mat& image, std::string& error);

// The operator's settings when Data/ has them; without a file the defaults
// stand, and no complaint is due.
Settings storedSettings();
// The stored report fields; all of them when there is no settings file.
DataFormat defaultDataFormat(const Settings& settings);

// A missing catalogue is an empty one; one that cannot be read whole (a
// width that is not a number ends the reading) must not be replaced.
// False with the reason on standard error.
bool loadCatalogueForUpdate(Catalogue& catalogue, const char* command);

// The detector and the catalogue print their diagnostics on standard output;
// while a command runs, that is moved to standard error, so that standard
// output carries nothing but what is written through `reports`.
class ReportsOnlyStdout {
public:
    ReportsOnlyStdout();
    ~ReportsOnlyStdout();
    ReportsOnlyStdout(const ReportsOnlyStdout&) = delete;
    ReportsOnlyStdout& operator=(const ReportsOnlyStdout&) = delete;

    FILE* reports = nullptr;

private:
    int savedFd_ = -1;
};
