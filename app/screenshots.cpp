// The hidden --screenshots DIR mode of the dialog: drives the window through
// idle and running with preview on the synthetic camera and saves what the
// screen shows, for the project's documentation. Pattern capture is shown
// through real pointer events instead (tests/app/dialog_under_x_test.py).
#include "screenshots.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <QApplication>
#include <QCheckBox>
#include <QPixmap>
#include <QScreen>
#include "dialog.h"

namespace {

// Serves events for `ms` milliseconds, or until `done` holds.
template <typename Done>
void serveEvents(int ms, Done done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until && !done()) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}
void serveEvents(int ms) {
    serveEvents(ms, [] { return false; });
}

QWidget* topLevel(const char* title) {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible() && w->windowTitle() == QString::fromUtf8(title)) return w;
    return nullptr;
}

// Puts a worker's window to the right of the dialog so neither hides the other.
void besideDialog(const QWidget& dialog, const char* title) {
    if (QWidget* window = topLevel(title)) window->move(dialog.frameGeometry().right() + 20, dialog.y());
}

bool saveScreen(const std::string& path) {
    QRect area;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible()) area = area.united(w->frameGeometry());
    const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0).copy(area.adjusted(-10, -10, 10, 10));
    const bool saved = shot.save(QString::fromStdString(path));
    std::printf("%s %s\n", saved ? "saved" : "could not save", path.c_str());
    return saved;
}

} // namespace

int takeScreenshots(CQuillmarkDlg& dialog, const std::string& directory) {
    int failures = 0;
    dialog.setCameraChooser([](int) { return std::string("synthetic"); });
    dialog.move(20, 20);
    serveEvents(800);
    failures += !saveScreen(directory + "/screenshot-idle.png");

    // Name, position and confidence: a report that reads at a glance.
    for (const char* id : {"1018", "1019", "1021", "1039"}) {
        auto* box = dialog.findChild<QCheckBox*>(QString::fromLatin1(id));
        if (!box->isChecked()) box->click();
    }
    dialog.OnStart();
    serveEvents(1500);
    besideDialog(dialog, "Preview");
    serveEvents(1500);
    failures += !saveScreen(directory + "/screenshot-running.png");
    dialog.OnStop();
    serveEvents(10000, [&] { return !dialog.trackingExists(); });
    dialog.OnCancelCommand();
    return failures == 0 ? 0 : 1;
}
