#include "frame_window.h"

#include <algorithm>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QThread>
#include <opencv2/highgui.hpp>
#include "capture_worker.h"

namespace {

// Runs `work` on the GUI thread and waits for it; directly when already there.
template <typename Work>
void onGuiThread(Work work) {
    QCoreApplication* app = QCoreApplication::instance();
    if (QThread::currentThread() == app->thread())
        work();
    else
        QMetaObject::invokeMethod(app, work, Qt::BlockingQueuedConnection);
}

// The highgui code of `button` going down; 0 for a button highgui does not know.
int buttonDownCode(Qt::MouseButton button) {
    switch (button) {
    case Qt::LeftButton: return cv::EVENT_LBUTTONDOWN;
    case Qt::RightButton: return cv::EVENT_RBUTTONDOWN;
    case Qt::MiddleButton: return cv::EVENT_MBUTTONDOWN;
    default: return 0;
    }
}

// A notice stays this long, and a little longer for each character of a
// long one, before it fades out over kNoticeFadeMs.
constexpr int kNoticeHoldMs = 3000;
constexpr int kNoticeMsPerCharacter = 40;
constexpr int kNoticeHoldMaxMs = 10000;
constexpr int kNoticeFadeMs = 1000;
constexpr int kFadeStepMs = 50;

} // namespace

FrameWindow::FrameWindow(const char* title, CaptureMouse* mouse, QWidget* parent)
    : QWidget(parent, Qt::Window), mouse_(mouse) {
    setWindowTitle(QString::fromUtf8(title));
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    fadeTimer_ = new QTimer(this);
    fadeTimer_->setInterval(kFadeStepMs);
    connect(fadeTimer_, &QTimer::timeout, this, [this] { update(); });
}

void FrameWindow::showNotice(const QString& text) {
    notice_ = text;
    noticeAge_.start();
    noticeHoldMs_ = std::min(kNoticeHoldMaxMs, kNoticeHoldMs + kNoticeMsPerCharacter * static_cast<int>(text.size()));
    fadeTimer_->start();
    update();
}

double FrameWindow::noticeOpacity() {
    if (notice_.isEmpty()) return 0.0;
    const qint64 age = noticeAge_.elapsed();
    if (age <= noticeHoldMs_) return 1.0;
    const double opacity = 1.0 - static_cast<double>(age - noticeHoldMs_) / kNoticeFadeMs;
    if (opacity > 0.0) return opacity;
    notice_.clear();
    fadeTimer_->stop();
    return 0.0;
}

void FrameWindow::showFrame(const QImage& frame) {
    frame_ = frame;
    if (size() != frame_.size()) setFixedSize(frame_.size());
    if (!placed_) placeBesideOwner();
    update();
}

void FrameWindow::placeBesideOwner() {
    placed_ = true;
    const QWidget* owner = parentWidget();
    const QScreen* screen = owner ? owner->screen() : nullptr;
    if (!screen) return;
    const QRect room = screen->availableGeometry();
    const QRect dialog = owner->frameGeometry();
    constexpr int kGap = 8;
    const int right = dialog.right() + 1 + kGap;
    const int left = dialog.left() - kGap - width();
    int x = right + width() <= room.right() + 1 ? right : left >= room.left() ? left : room.left();
    const int y = std::max(room.top(), std::min(dialog.top(), room.bottom() + 1 - height()));
    move(x, y);
}

void FrameWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawImage(0, 0, frame_);
    const double opacity = noticeOpacity();
    if (opacity <= 0.0) return;
    // A dark band across the top, as tall as the wrapped text needs.
    constexpr int kMargin = 6;
    const QRect room(kMargin, kMargin, width() - 2 * kMargin, height() - 2 * kMargin);
    const QRect text = painter.boundingRect(room, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, notice_);
    painter.setOpacity(opacity);
    painter.fillRect(QRect(0, 0, width(), text.bottom() + kMargin + 1), QColor(0, 0, 0, 210));
    painter.setPen(Qt::white);
    painter.drawText(room, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, notice_);
}

void FrameWindow::forward(int event, QMouseEvent* mouseEvent) {
    if (mouse_) mouse_->onEvent(event, mouseEvent->pos().x(), mouseEvent->pos().y());
}

// A button's going up is as many codes after its going down as the left
// button's is (cv::MouseEventTypes).
void FrameWindow::mousePressEvent(QMouseEvent* event) {
    if (const int code = buttonDownCode(event->button())) forward(code, event);
}

void FrameWindow::mouseReleaseEvent(QMouseEvent* event) {
    if (const int code = buttonDownCode(event->button()))
        forward(code + cv::EVENT_LBUTTONUP - cv::EVENT_LBUTTONDOWN, event);
}

void FrameWindow::mouseMoveEvent(QMouseEvent* event) { forward(cv::EVENT_MOUSEMOVE, event); }

void FrameWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) ended_ = true;
}

void FrameWindow::closeEvent(QCloseEvent* event) {
    ended_ = true;
    event->accept();
}

FrameDisplay::FrameDisplay(const char* title, CaptureMouse* mouse, QWidget* parent) {
    onGuiThread([this, title, mouse, parent] {
        window_ = new FrameWindow(title, mouse, parent);
        window_->show();
    });
}

FrameDisplay::~FrameDisplay() {
    onGuiThread([this] { delete window_; });
}

void FrameDisplay::show(const cv::Mat& bgra) {
    // BGRA bytes are what a little-endian RGB32 image holds; alpha is ignored.
    QImage frame = QImage(bgra.data, bgra.cols, bgra.rows, static_cast<int>(bgra.step), QImage::Format_RGB32).copy();
    std::lock_guard<std::mutex> lock(pendingLock_);
    pending_ = std::move(frame);
    if (posted_) return;
    posted_ = true;
    QMetaObject::invokeMethod(
        window_,
        [this] {
            QImage latest;
            {
                std::lock_guard<std::mutex> guard(pendingLock_);
                latest = std::move(pending_);
                posted_ = false;
            }
            window_->showFrame(latest);
        },
        Qt::QueuedConnection);
}

void FrameDisplay::showNotice(const std::string& text) {
    const QString notice = QString::fromLocal8Bit(text.c_str());
    QMetaObject::invokeMethod(window_, [this, notice] { window_->showNotice(notice); }, Qt::QueuedConnection);
}

bool FrameDisplay::ended() const { return window_->ended(); }
