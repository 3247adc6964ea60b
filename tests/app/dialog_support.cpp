#include "dialog_support.h"

#include <fstream>
#include <opencv2/imgcodecs.hpp>

void TestDialog::answerCamera(const std::string& sourceName) {
    setCameraChooser([this, sourceName](int) {
        ++chooserCalls;
        return sourceName;
    });
}

void writeSolidImage(const std::string& path, const cv::Scalar& colour, int side) {
    cv::imwrite(path, cv::Mat(side, side, CV_8UC3, colour));
}

void writeCatalogue(const std::vector<std::tuple<std::string, double, bool>>& entries) {
    std::ofstream out("Data/pattern_list.txt");
    int index = 0;
    for (const auto& [name, width, inUse] : entries) {
        char path[32];
        std::snprintf(path, sizeof path, "Data/%03d.patt", index++);
        out << "[Pattern]\t" << name << '\t' << path << '\t' << width << '\t' << (inUse ? "use" : "not_use") << '\n';
    }
}
