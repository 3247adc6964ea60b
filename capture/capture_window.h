#pragma once
// The "Pattern Capture" window. highgui's own windows miss Esc and the close
// box when driven from a worker thread (a key only counts if it arrives during
// the 1 ms key wait, and a closed window still reads as visible), so the
// capture shows its frames in a widget of its own with the same title,
// automatic sizing, mouse events and ways to end.
//
// The widget lives on the GUI thread; CaptureDisplay is the worker's handle
// to it and hops there for every call.
#include <atomic>
#include <mutex>
#include <QImage>
#include <QWidget>
#include <opencv2/core.hpp>

struct CaptureMouse;

class CaptureWindow : public QWidget {
public:
    explicit CaptureWindow(CaptureMouse& mouse);

    // Shows `frame` at its own size, the window following it.
    void showFrame(const QImage& frame);
    // Esc pressed in the window, or its close box used.
    bool ended() const { return ended_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void forward(int event, QMouseEvent* mouseEvent);

    CaptureMouse& mouse_;
    QImage frame_;
    std::atomic<bool> ended_{false};
};

class CaptureDisplay {
public:
    // Creates and shows the window on the GUI thread, waiting until it exists.
    explicit CaptureDisplay(CaptureMouse& mouse);
    // Removes the window, waiting until it is gone.
    ~CaptureDisplay();
    CaptureDisplay(const CaptureDisplay&) = delete;
    CaptureDisplay& operator=(const CaptureDisplay&) = delete;

    // Copies the 8-bit BGRA frame and has the window show it. A frame still
    // waiting to be painted is replaced, so a busy GUI never falls behind.
    void show(const cv::Mat& bgra);
    bool ended() const;

private:
    CaptureWindow* window_ = nullptr; // owned; deleted on the GUI thread
    std::mutex pendingLock_;
    QImage pending_;
    bool posted_ = false; // guarded by pendingLock_
};
