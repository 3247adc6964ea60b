#include "gui_support.h"
#include "wait.h"

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
    return waitFor(
        [&] {
            QApplication::processEvents(QEventLoop::AllEvents, 5);
            return condition();
        },
        std::chrono::seconds(60), std::chrono::milliseconds(1));
}
