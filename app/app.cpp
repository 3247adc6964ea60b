// The dialog mode of quillmark: one modal operator window; the program ends
// when it closes.
#include <cstdio>
#include <cstdlib>
#include <memory>
// Before Qt's headers, whose keyword macros CLI11 need not meet.
#include "command_line.h"
#include <QApplication>
#include <QTimer>
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

namespace {

int runDialog(const char* program, const std::string& screenshotDirectory) {
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) {
        std::fprintf(stderr, "quillmark: no display for the operator dialog; run %s --headless\n", program);
        return 1;
    }
    // Qt keeps the count and the vector for the application's lifetime.
    int argc = 1;
    char* argv[] = {const_cast<char*>(program), nullptr};
    CQuillmarkApp app(argc, argv);
    return app.InitInstance(screenshotDirectory);
}

} // namespace

Command dialogCommand(const char* program) {
    Command command;
    command.synopsis = "usage: quillmark [-C DIR]\n";
    command.about = "  The operator dialog. Data/ of the working directory holds every file.\n";
    command.declare = [program](CLI::App& app) -> CommandRun {
        auto screenshots = std::make_shared<std::string>();
        // Taken by scripts/screenshots.sh; not a user's option.
        app.add_option("--screenshots", *screenshots)->group("");
        return [program, screenshots] { return runDialog(program, *screenshots); };
    };
    return command;
}
