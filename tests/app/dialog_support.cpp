#include "dialog_support.h"

#include <chrono>
#include <fstream>
#include <thread>
#include <QApplication>
#include <opencv2/imgcodecs.hpp>

void ensureApplication() {
    if (QApplication::instance()) return;
    static int argc = 1;
    static char name[] = "quillmark-test";
    static char* argv[] = {name, nullptr};
    new QApplication(argc, argv);
}

bool waitUntil(const std::function<bool()>& condition) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void TestDialog::answerCamera(const std::string& spec) {
    setCameraChooser([this, spec](int) {
        ++chooserCalls;
        return spec;
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
