// The dialog mode of quillmark: one modal operator window; the program ends
// when it closes.
#include <cstdio>
#include <cstdlib>
#include <QApplication>
#include "commands.h"
#include "dialog.h"

class CQuillmarkApp {
public:
    CQuillmarkApp(int& argc, char** argv) : application_(argc, argv) {
        QApplication::setApplicationName(QStringLiteral("Quillmark"));
        QApplication::setWindowIcon(quillmarkIcon());
    }
    // Runs the dialog until it closes; the exit status.
    int InitInstance() {
        CQuillmarkDlg dialog;
        dialog.OnInitDialog();
        dialog.exec();
        return 0;
    }

private:
    QApplication application_;
};

int runDialog(int argc, char** argv, const Args& args) {
    if (!args.empty()) {
        std::fprintf(stderr, "quillmark: unknown argument %s\n", args.front().c_str());
        printUsage(argv[0]);
        return 2;
    }
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !std::getenv("QT_QPA_PLATFORM")) {
        std::fprintf(stderr, "quillmark: no display for the operator dialog; run %s --headless\n", argv[0]);
        return 1;
    }
    CQuillmarkApp app(argc, argv);
    return app.InitInstance();
}
