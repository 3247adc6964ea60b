// The dialog as the workers' host. Every call here but the preview's runs
// on a worker thread: writes are queued to the GUI thread, and what the
// tracking worker reads every frame is a snapshot this thread keeps up to
// date, so tracking goes on while the GUI thread is busy (a modal message,
// a slow repaint).
#include "dialog.h"
#include <chrono>
#include <thread>
#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include "dialog_layout.h"
#include "network.h"

namespace {

// Runs `read` on `context`'s thread and returns its result, waiting for it.
template <typename Read>
auto onGuiThread(QObject* context, Read read) -> decltype(read()) {
    using Result = decltype(read());
    if (QThread::currentThread() == context->thread()) return read();
    Result result{};
    QMetaObject::invokeMethod(context, [&] { result = read(); }, Qt::BlockingQueuedConnection);
    return result;
}

} // namespace

void CQuillmarkDlg::finishWorkers() {
    tracking_.requestStop();
    capture_.requestStop();
    // The workers' last calls are queued to this thread, so it must keep
    // serving events until they arrive.
    while (tracking_.exists() || capture_.exists()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void CQuillmarkDlg::closeIfAskedWhileEnding() {
    if (!closeWhenWorkersEnd_ || tracking_.exists() || capture_.exists()) return;
    closeWhenWorkersEnd_ = false;
    OnCancelCommand();
}

void CQuillmarkDlg::showRunningStatus() {
    QString text = QString::fromStdString(
        runningStatusText(port(), frameRate_.sample(FrameRateMeter::Clock::now()), Network::liveConnections()));
    if (!pageAddress_.isEmpty()) text += QStringLiteral(", page ") + pageAddress_;
    status_->setText(text);
    status_->setToolTip(text);
}

void CQuillmarkDlg::publishPatternSwitches() {
    std::vector<bool> inUse;
    for (int row = 0; row < patternList_->topLevelItemCount(); ++row)
        inUse.push_back(patternList_->topLevelItem(row)->checkState(0) == Qt::Checked);
    patternSwitches_.replace(std::move(inUse));
}

PatternSwitches::Snapshot CQuillmarkDlg::patternSwitches() { return patternSwitches_.latest(); }

bool CQuillmarkDlg::previewChecked() { return previewWanted_; }

bool CQuillmarkDlg::showPreview(const cv::Mat& bgra) {
    // Owned by the dialog's window, so a modal dialog leaves its input alone.
    if (!previewDisplay_) previewDisplay_ = std::make_unique<FrameDisplay>("Preview", nullptr, this);
    if (previewDisplay_->ended()) return false;
    previewDisplay_->show(bgra);
    return true;
}

void CQuillmarkDlg::closePreview() { previewDisplay_.reset(); }

void CQuillmarkDlg::uncheckPreview() {
    // At once, so the next frame does not open the window again before the
    // box has followed.
    previewWanted_ = false;
    QMetaObject::invokeMethod(this, [this] { preview_->setChecked(false); }, Qt::QueuedConnection);
}

// The capture worker's read, once a capture: the next pattern's number.
int CQuillmarkDlg::patternRowCount() {
    return onGuiThread(this, [this] { return patternList_->topLevelItemCount(); });
}

void CQuillmarkDlg::setOutputText(const std::string& text) {
    QMetaObject::invokeMethod(
        this,
        [this, text] {
            outputText_ = text;
            output_->setPlainText(toDisplay(text));
            frameRate_.frame();
        },
        Qt::QueuedConnection);
}

void CQuillmarkDlg::reportProblem(const std::string& message) {
    QMetaObject::invokeMethod(
        this, [this, message] { messageBox(kAppName, QString::fromLocal8Bit(message.c_str()), QMessageBox::Warning); },
        Qt::QueuedConnection);
}

void CQuillmarkDlg::trackingEnded() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            tracking_.join();
            statusTimer_->stop();
            status_->clear();
            pageAddress_.clear();
            EnableSettingControls();
            closeIfAskedWhileEnding();
        },
        Qt::QueuedConnection);
}

int CQuillmarkDlg::addPatternRow(const PatternEntry& entry) {
    return onGuiThread(this, [this, &entry] { return AddPatternRow(entry); });
}

void CQuillmarkDlg::captureEnded() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            capture_.join();
            setStartButtons(true);
            closeIfAskedWhileEnding();
        },
        Qt::QueuedConnection);
}
