#pragma once
// The "Pattern Capture" and "Preview" windows. highgui's own windows cannot
// be driven from a worker thread: they miss Esc and the close box (a key only
// counts if it arrives during the 1 ms key wait, and a closed window still
// reads as visible), and the first call after the operator closes one hangs
// the worker. So the workers show their frames in a widget of their own with
// the same title, automatic sizing, mouse events and ways to end.
//
// The widget lives on the GUI thread; FrameDisplay is the worker's handle
// to it and hops there for every call.
//
// A window opened from a modal dialog must be that dialog's own window:
// Qt withholds mouse and key input from every top-level window outside the
// modal one's family. So the owner's window is passed as `parent`; the frame
// window stays a window of its own (Qt::Window), it only belongs to that family.
#include <atomic>
#include <mutex>
#include <string>
#include <QElapsedTimer>
#include <QImage>
#include <QTimer>
#include <QWidget>
#include <opencv2/core.hpp>

struct CaptureMouse;

class FrameWindow : public QWidget {
public:
    // Mouse events go to `mouse` when there is one.
    FrameWindow(const char* title, CaptureMouse* mouse, QWidget* parent = nullptr);

    // Shows `frame` at its own size, the window following it.
    void showFrame(const QImage& frame);
    // Esc pressed in the window, or its close box used.
    bool ended() const { return ended_; }
    // A line over the picture that stays a few seconds (longer for a long
    // text) and then fades: what the operator should know without anything
    // taking the input away from this window.
    void showNotice(const QString& text);
    // The notice still shown, empty once it has faded.
    QString notice() const { return notice_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void forward(int event, QMouseEvent* mouseEvent);
    // Beside the owner's window, where the screen has room: without a window
    // manager every window would open at the screen's corner, over the dialog.
    void placeBesideOwner();

    // How strongly the notice shows now, 1 to 0; 0 clears it.
    double noticeOpacity();

    CaptureMouse* mouse_;
    QImage frame_;
    QString notice_;
    QElapsedTimer noticeAge_;
    int noticeHoldMs_ = 0;
    // Repaints while a notice fades, whether frames come or not.
    QTimer* fadeTimer_ = nullptr;
    bool placed_ = false;
    std::atomic<bool> ended_{false};
};

class FrameDisplay {
public:
    // Creates and shows the window on the GUI thread, waiting until it exists.
    FrameDisplay(const char* title, CaptureMouse* mouse, QWidget* parent = nullptr);
    // Removes the window, waiting until it is gone.
    ~FrameDisplay();
    FrameDisplay(const FrameDisplay&) = delete;
    FrameDisplay& operator=(const FrameDisplay&) = delete;

    // Copies the 8-bit BGRA frame and has the window show it. A frame still
    // waiting to be painted is replaced, so a busy GUI never falls behind.
    void show(const cv::Mat& bgra);
    // FrameWindow::showNotice, from any thread.
    void showNotice(const std::string& text);
    bool ended() const;

private:
    FrameWindow* window_ = nullptr; // owned; deleted on the GUI thread
    std::mutex pendingLock_;
    QImage pending_;
    bool posted_ = false; // guarded by pendingLock_
};
