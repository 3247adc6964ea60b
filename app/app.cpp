// The dialog mode of quillmark: one modal operator window; the program ends
// when it closes.
#include <cstdio>
#include <cstdlib>
#include <QApplication>
#include <QTimer>
#include "commands.h"
#include "dialog.h"
#include "screenshots.h"
#include "widget_geometry.h"

class CQuillmarkApp {
public:
    CQuillmarkApp(int& argc, char** argv) : application_(argc, argv) {
        QApplication::setApplicationName(QStringLiteral("Quillmark"));
        QApplication::setWindowIcon(quillmarkIcon());
        installWidgetGeometryProbe();
    }
    // Runs the dialog until it closes; the exit status. With a screenshot
    // directory the dialog drives itself and closes when the pictures are taken.
    int InitInstance(const std::string& screenshotDirectory) {
        CQuillmarkDlg dialog;
        dialog.OnInitDialog();
        int status = 0;
        if (!screenshotDirectory.empty())
            QTimer::singleShot(0, &dialog, [&] { status = takeScreenshots(dialog, screenshotDirectory); });
        dialog.exec();
        return status;
    }

private:
    QApplication application_;
};

int runDialog(int argc, char** argv, const Args& args) {
    std::string screenshotDirectory;
    if (args.size() == 2 && args[0] == "--screenshots") {
        screenshotDirectory = args[1];
    } else if (!args.empty()) {
        std::fprintf(stderr, "quillmark: unknown argument %s\n", args.front().c_str());
        printUsage(stderr);
        return 2;
    }
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) {
        std::fprintf(stderr, "quillmark: no display for the operator dialog; run %s --headless\n", argv[0]);
        return 1;
    }
    CQuillmarkApp app(argc, argv);
    return app.InitInstance(screenshotDirectory);
}
