#pragma once
// Shared by the dialog tests: a dialog whose message boxes are recorded
// instead of shown, and the files a catalogue is made of.
#include <functional>
#include <string>
#include <utility>
#include <vector>
#include <QString>
#include <opencv2/core.hpp>
#include "dialog.h"
#include "gui_support.h"

struct Message {
    QString caption;
    QString text;
};

class TestDialog : public CQuillmarkDlg {
public:
    std::vector<Message> messages;
    int chooserCalls = 0;

    // Answers the camera choice with `sourceName` ("" is a cancel), counting calls.
    void answerCamera(const std::string& sourceName);

protected:
    void messageBox(const QString& caption, const QString& text, QMessageBox::Icon) override {
        messages.push_back({caption, text});
    }
};

// A findChild that fails the test when the control is missing.
template <typename Widget>
Widget* control(QWidget& dialog, const char* id) {
    Widget* w = dialog.findChild<Widget*>(QString::fromLatin1(id));
    if (!w) throw std::runtime_error(std::string("no control ") + id);
    return w;
}

// A solid 3-channel image of `colour` saved to `path` (thumbnails, placeholder).
void writeSolidImage(const std::string& path, const cv::Scalar& colour, int side = 40);
// Data/pattern_list.txt with one "[Pattern]" line per (name, width, in use).
void writeCatalogue(const std::vector<std::tuple<std::string, double, bool>>& entries);
