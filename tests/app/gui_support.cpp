#include "gui_support.h"

#include <chrono>
#include <thread>
#include <QApplication>

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
