// The dialog's start-up, its data exchange, the Start, Stop and Pattern
// Capture handlers with their enable rules, and the close.
#include "dialog.h"
#include <cstdio>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QTimer>
#include <QTreeWidget>
#include "camera_chooser.h"
#include "camera_param.h"
#include "dialog_layout.h"
#include "frame_outputs.h"
#include "frame_window.h"
#include "web_page.h"
#include "protocol.h"
#include "server_state.h"

namespace {

const char kCameraError[] = "Camera could not be connected.\r\nAnother software probably uses it.";
const char kAboutItem[] = "バージョン情報 Quillmark(&A)...";

} // namespace

CQuillmarkDlg::CQuillmarkDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QString::fromLatin1(kAppName));
    setWindowIcon(quillmarkIcon());
    setWindowFlags((windowFlags() | Qt::WindowCloseButtonHint) & ~Qt::WindowContextHelpButtonHint &
                   ~Qt::WindowMinMaxButtonsHint);
    QFont dialogFont = font();
    dialogFont.setPointSize(9);
    setFont(dialogFont);
    createControls();
    connect(preview_, &QCheckBox::toggled, this, [this](bool checked) { previewWanted_ = checked; });
    // Every change of a row or its switch reaches the tracking worker's
    // snapshot at once, whether the operator or a capture made it.
    QAbstractItemModel* rows = patternList_->model();
    connect(rows, &QAbstractItemModel::rowsInserted, this, &CQuillmarkDlg::publishPatternSwitches);
    connect(rows, &QAbstractItemModel::rowsRemoved, this, &CQuillmarkDlg::publishPatternSwitches);
    connect(rows, &QAbstractItemModel::dataChanged, this, &CQuillmarkDlg::publishPatternSwitches);
    chooser_ = [this](int preset) { return chooseCameraSource(this, preset); };
    // Enter and Escape never reach the controls: neither closes the window
    // nor presses a button, wherever the focus is.
    qApp->installEventFilter(this);
    auto* about = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(about, &QShortcut::activated, this, [this] { OnSysCommand(IDM_ABOUTBOX); });
}

CQuillmarkDlg::~CQuillmarkDlg() {
    qApp->removeEventFilter(this);
    finishWorkers();
}

void CQuillmarkDlg::OnInitDialog() {
    std::string address;
    GetLocalAddress(address);
    ip_->setText(QString::fromLatin1(address.c_str()));

    // A refused value is replaced at close by what was kept: say so while
    // the operator can still mend the file.
    std::vector<std::string> refused;
    LoadConfig(settings_, &refused);
    if (!refused.empty()) {
        std::string text;
        for (const std::string& message : refused) text += message + "\r\n";
        messageBox(kAppName, QString::fromLocal8Bit(text.c_str()), QMessageBox::Warning);
    }
    for (OptionRow* row : optionRowList_) row->load(settings_);
    for (int i = 0; i < settings_.maxCameraNum; ++i) cameraId_->addItem(QString::number(i));
    UpdateData(false);
    for (const ImageSize& size : settings_.imageSizeList)
        imageSize_->addItem(QStringLiteral("%1x%2").arg(size.width).arg(size.height));
    UpdateData(false);
    loadCatalogue();

    UpdateData(false);
    UpdateDataFormat();

    thumbnail_.release();
    if (patternList_->topLevelItemCount() == 0) showPlaceholderThumbnail();
    selectRow(0);
}

bool CQuillmarkDlg::UpdateData(bool fromControls, bool report) {
    for (OptionRow* row : optionRowList_) row->exchange(settings_, fromControls);
    if (!fromControls) {
        port_->setText(QString::number(settings_.port));
        cameraId_->setCurrentIndex(settings_.cameraSelected < cameraId_->count() ? settings_.cameraSelected : -1);
        imageSize_->setCurrentIndex(settings_.imageSizeSelected < imageSize_->count() ? settings_.imageSizeSelected : -1);
        (settings_.dataFlow == 1 ? commandMode_ : automaticMode_)->setChecked(true);
        for (const auto& [box, flag] : formatBoxes()) box->setChecked(settings_.format.*flag);
        preview_->setChecked(settings_.checkPreview);
        legend_->setPlainText(toDisplay(legendText_));
        name_->setText(nameText_);
        width_->setText(QString::number(widthMm_, 'g', 15));
        return true;
    }
    // A box that holds no number keeps its member's previous value; the
    // other values are still taken.
    bool portOk = false;
    bool widthOk = false;
    const int port = port_->text().toInt(&portOk);
    const double width = QLocale::c().toDouble(width_->text().trimmed(), &widthOk);
    if (portOk) settings_.port = port;
    if (widthOk) widthMm_ = width;
    settings_.cameraSelected = cameraId_->currentIndex();
    settings_.imageSizeSelected = imageSize_->currentIndex();
    settings_.dataFlow = commandMode_->isChecked() ? 1 : 0;
    for (const auto& [box, flag] : formatBoxes()) settings_.format.*flag = box->isChecked();
    settings_.checkPreview = preview_->isChecked();
    nameText_ = name_->text();
    if (report && !portOk) messageBox(kAppName, QStringLiteral("Please enter an integer."), QMessageBox::Warning);
    else if (report && !widthOk) messageBox(kAppName, QStringLiteral("Please enter a number."), QMessageBox::Warning);
    return portOk && widthOk;
}

std::vector<std::pair<QCheckBox*, int32_t DataFormat::*>> CQuillmarkDlg::formatBoxes() const {
    std::vector<std::pair<QCheckBox*, int32_t DataFormat::*>> boxes;
    for (int k = 0; k < REPORT_FIELD_COUNT; ++k) boxes.emplace_back(fieldBoxes_[k], REPORT_FIELDS[k].check);
    boxes.emplace_back(checkStamp_, &DataFormat::CheckStamp);
    return boxes;
}

void CQuillmarkDlg::UpdateDataFormat() {
    UpdateData(true, false);
    setActiveDataFormat(settings_.format);
    legendText_ = legendBoxText(settings_.format);
    UpdateData(false);
}

void CQuillmarkDlg::OnDataFormatCheck() { UpdateDataFormat(); }

void CQuillmarkDlg::messageBox(const QString& caption, const QString& text, QMessageBox::Icon icon) {
    QMessageBox box(icon, caption, QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")),
                    QMessageBox::Ok, this);
    box.exec();
}

bool CQuillmarkDlg::openCamera() {
    if (OpenCamera(settings_.cameraSelected, camera_, chooser_) == -1) {
        if (!camera_.lastError.empty()) std::printf("camera: %s\n", camera_.lastError.c_str());
        messageBox(QStringLiteral("Error"), QString::fromLatin1(kCameraError), QMessageBox::Critical);
        return false;
    }
    return true;
}

// Read before the camera opens: without the record no worker can detect
// anything, and a record that was not read must never be installed.
bool CQuillmarkDlg::readCameraParam(CameraParam& record) {
    std::string error;
    if (readCameraParamFile(kCameraParamPath, record, error)) return true;
    messageBox(QStringLiteral("Error"),
               QStringLiteral("%1. Make it with quillmark calibrate (see the README, \"Use your own camera\").")
                   .arg(QString::fromLocal8Bit(error.c_str())),
               QMessageBox::Critical);
    return false;
}

void CQuillmarkDlg::OnStart() {
    if (tracking_.exists() || capture_.exists()) return;
    if (!UpdateData(true)) return;
    if (!applyOptionRows(true)) return;
    TrackingJob job;
    if (!readCameraParam(job.cameraParam)) return;
    if (!openCamera()) return;
    // The Image Size selection is shown and kept but not applied: the
    // camera's own frames decide the size, so an empty or stale list is no
    // reason to refuse.
    setActiveDataFormat(settings_.format);
    AutomaticModeFlag = settings_.dataFlow == 0;
    setCommandIdleTimeout(settings_.commandIdleTimeout);
    CatalogueFromList(patternRows(), catalogue_);
    DisableSettingControls();
    job.camera = &camera_;
    job.catalogue = catalogue_;
    job.port = settings_.port;
    job.detectorOptions = detectorOptionsOf(settings_);
    job.world = worldOptionsOf(settings_);
    // Made by the worker: looking up the hosts and reaching the broker may
    // take seconds, which the GUI thread never waits for.
    job.openFrameOutputs = [this, tuio = tuioTargetText(tuioTargetOf(settings_)),
                            mqtt = mqttTargetText(mqttTargetOf(settings_)),
                            format = settings_.format,
                            volume = settings_.tuioVolume, page = webOptionsOf(settings_), catalogue = catalogue_,
                            camera = "camera " + std::to_string(settings_.cameraSelected)](FrameOutputs& outputs,
                                                                                          std::string& error) {
        OutputTarget tuioTarget, mqttTarget;
        if (!parseTuioTarget(tuio, "TUIO", tuioTarget, error) || !parseMqttTarget(mqtt, "MQTT", mqttTarget, error))
            return false;
        outputs = makeFrameOutputs(tuioTarget, mqttTarget, format,
                                   [this](const std::string& notice) { reportProblem(notice); }, volume);
        if (!page.on()) return true;
        std::shared_ptr<WebOutput> served = startWebPage(page, "Page", catalogue, camera, outputs, error);
        if (!served) return false;
        QMetaObject::invokeMethod(
            this,
            [this, address = webPageAddress(page, served->port())] {
                pageAddress_ = QString::fromStdString(address);
                showRunningStatus();
            },
            Qt::QueuedConnection);
        outputs.push_back(served);
        return true;
    };
    pageAddress_.clear();
    tracking_.start(*this, std::move(job));
    frameRate_.restart(FrameRateMeter::Clock::now());
    showRunningStatus();
    statusTimer_->start();
}

void CQuillmarkDlg::OnStop() { tracking_.requestStop(); }

void CQuillmarkDlg::OnPatternCapture() {
    if (tracking_.exists() || capture_.exists()) return;
    if (!UpdateData(true)) return;
    CaptureJob job;
    if (!readCameraParam(job.cameraParam)) return;
    if (!openCamera()) return;
    setStartButtons(false);
    job.camera = &camera_;
    job.defaultWidthMm = settings_.defaultPatternWidth;
    job.windowOwner = this;
    job.detectorOptions = detectorOptionsOf(settings_);
    capture_.start(*this, job);
}

void CQuillmarkDlg::setStartButtons(bool enabled) {
    patternCapture_->setEnabled(enabled);
    start_->setEnabled(enabled);
    enableOptionRows(enabled, true);
    stop_->setEnabled(enabled);
}

void CQuillmarkDlg::DisableSettingControls() { enableSettingControls(false); }
void CQuillmarkDlg::EnableSettingControls() { enableSettingControls(true); }

// While the server runs: what Start read is greyed or read-only; the
// pattern switches, the preview switch and Stop stay usable.
void CQuillmarkDlg::enableSettingControls(bool enabled) {
    for (QWidget* w : std::initializer_list<QWidget*>{start_, patternCapture_, cameraId_, imageSize_, automaticMode_,
                                                      commandMode_, checkStamp_, update_})
        w->setEnabled(enabled);
    for (QCheckBox* box : fieldBoxes_) box->setEnabled(enabled);
    for (QLineEdit* edit : {port_, width_, name_}) edit->setReadOnly(!enabled);
    enableOptionRows(enabled, false);
}

void CQuillmarkDlg::enableOptionRows(bool enabled, bool forCapture) {
    for (OptionRow* row : optionRowList_)
        if (!forCapture || row->readByCapture()) row->enableRow(enabled);
}

bool CQuillmarkDlg::applyOptionRows(bool report) {
    for (OptionRow* row : optionRowList_) {
        std::string error;
        if (!row->apply(settings_, error)) {
            if (report) messageBox(kAppName, QString::fromStdString(error), QMessageBox::Warning);
            return false;
        }
    }
    return true;
}

bool CQuillmarkDlg::OnCancelCommand() {
    // Stop pressed, or the capture window closed: the operator has done what
    // the refusals below ask, and the worker is only winding down.
    const bool trackingEnding = tracking_.exists() && tracking_.TrackingRunning == 0;
    const bool captureEnding = capture_.exists() && (capture_.CaptureRunning == 0 || captureWindowClosed());
    if ((trackingEnding || !tracking_.exists()) && (captureEnding || !capture_.exists()) &&
        (trackingEnding || captureEnding)) {
        closeWhenWorkersEnd_ = true;
        return false;
    }
    if (tracking_.exists()) {
        messageBox(kAppName, QStringLiteral("Please stop server"), QMessageBox::NoIcon);
        return false;
    }
    if (capture_.exists()) {
        messageBox(kAppName, QStringLiteral("Please close pattern capture"), QMessageBox::NoIcon);
        return false;
    }
    thumbnail_.release();
    saveCatalogue();
    UpdateData(true, false);
    // A row whose values cannot be read keeps what the settings hold; the
    // rows after it are still taken.
    for (OptionRow* row : optionRowList_) {
        std::string ignored;
        row->apply(settings_, ignored);
    }
    std::string error;
    if (SaveConfig(settings_, &error) != 0)
        messageBox(kAppName,
                   QStringLiteral("%1. Data/config.txt keeps the settings it had; the settings of this run are lost.")
                       .arg(QString::fromLocal8Bit(error.c_str())),
                   QMessageBox::Warning);
    QDialog::reject();
    return true;
}

bool CQuillmarkDlg::captureWindowClosed() const {
    for (const FrameWindow* window : findChildren<FrameWindow*>(QString(), Qt::FindDirectChildrenOnly))
        if (window->windowTitle() == QLatin1String(CAPTURE_WINDOW) && window->ended()) return true;
    return false;
}

void CQuillmarkDlg::reject() { OnCancelCommand(); }

void CQuillmarkDlg::closeEvent(QCloseEvent* event) {
    event->ignore();
    OnCancelCommand();
}

bool CQuillmarkDlg::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && watched->isWidgetType() &&
        static_cast<QWidget*>(watched)->window() == this) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape) return true;
    }
    return QDialog::eventFilter(watched, event);
}

void CQuillmarkDlg::contextMenuEvent(QContextMenuEvent* event) {
    // Linux windows have no system menu to carry the About entry.
    QMenu menu(this);
    menu.addAction(QString::fromUtf8(kAboutItem), this, [this] { OnSysCommand(IDM_ABOUTBOX); });
    menu.exec(event->globalPos());
}

void CQuillmarkDlg::OnSysCommand(unsigned command) {
    if ((command & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about(this);
        about.exec();
    }
}
