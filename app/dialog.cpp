#include "dialog.h"

#include <filesystem>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>
#include <arpa/inet.h>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QShortcut>
#include <QSpinBox>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <opencv2/imgcodecs.hpp>
#include "camera_chooser.h"
#include "camera_param.h"
#include "network.h"
#include "frame_outputs.h"
#include "protocol.h"
#include "server_state.h"

namespace {

const char kAppName[] = "Quillmark";
const char kCameraError[] = "Camera could not be connected.\r\nAnother software probably uses it.";
const char kCameraParamPath[] = "Data/camera_para.dat";
// The placeholder sits beside Data/ in a classic layout and inside it in ours.
const char* const kPlaceholderPaths[] = {"no_pattern.bmp", "Data/no_pattern.bmp"};
const char kAboutItem[] = "バージョン情報 Quillmark(&A)...";
constexpr int kRemovePatternCommand = 1500;

// The window's geometry is given in dialog units: a quarter of the font's
// average character width across, an eighth of its height down.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font) {
        QFontMetrics metrics(font);
        const int alphabet = metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
        x_ = (alphabet / 26.0 + 1) / 2 / 4;
        y_ = metrics.height() / 8.0;
    }
    int x(int units) const { return static_cast<int>(std::lround(units * x_)); }
    int y(int units) const { return static_cast<int>(std::lround(units * y_)); }
    QRect rect(int left, int top, int width, int height) const {
        return QRect(x(left), y(top), x(width), y(height));
    }

private:
    double x_ = 1.5;
    double y_ = 1.5;
};

// Runs `read` on `context`'s thread and returns its result, waiting for it.
template <typename Read>
auto onGuiThread(QObject* context, Read read) -> decltype(read()) {
    using Result = decltype(read());
    if (QThread::currentThread() == context->thread()) return read();
    Result result{};
    QMetaObject::invokeMethod(context, [&] { result = read(); }, Qt::BlockingQueuedConnection);
    return result;
}

// The boxes keep "\r\n" texts as produced; Qt's editors break lines at "\n".
QString toDisplay(const std::string& text) {
    return QString::fromLocal8Bit(text.c_str()).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

template <typename Widget>
Widget* place(QWidget* parent, Widget* widget, const char* id, const QRect& rect) {
    widget->setParent(parent);
    if (id) widget->setObjectName(QString::fromLatin1(id));
    widget->setGeometry(rect);
    return widget;
}

QPushButton* makeButton(QWidget* parent, const char* caption, const char* id, const QRect& rect) {
    auto* button = place(parent, new QPushButton(QString::fromUtf8(caption)), id, rect);
    button->setAutoDefault(false);
    return button;
}

// A missing picture is normal here (a row without thumbnail), not worth
// OpenCV's warning.
cv::Mat loadColourImage(const char* path) {
    return access(path, R_OK) == 0 ? cv::imread(path, cv::IMREAD_COLOR) : cv::Mat();
}

} // namespace

QIcon quillmarkIcon() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::white);
    QPainter painter(&pixmap);
    painter.fillRect(2, 2, 28, 28, Qt::black);
    painter.fillRect(8, 8, 16, 16, Qt::white);
    painter.fillRect(10, 10, 6, 6, Qt::black);
    return QIcon(pixmap);
}

std::string chooseLocalAddress(const std::vector<InterfaceAddress>& addresses) {
    std::string loopback;
    for (const InterfaceAddress& a : addresses) {
        if (!a.up) continue;
        if (!a.loopback) return a.dotted;
        if (loopback.empty()) loopback = a.dotted;
    }
    return loopback;
}

int GetLocalAddress(std::string& address) {
    // The host name often resolves to a loopback address (Debian's
    // /etc/hosts maps it to 127.0.1.1), which tells a remote client nothing;
    // the interfaces themselves say where the server can be reached.
    address.clear();
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) return -1;
    std::vector<InterfaceAddress> found;
    for (const ifaddrs* i = interfaces; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
        if (!inet_ntop(AF_INET, &ipv4->sin_addr, text, sizeof text)) continue;
        const bool loopback = (i->ifa_flags & IFF_LOOPBACK) || (ntohl(ipv4->sin_addr.s_addr) >> 24) == 127;
        found.push_back({text, (i->ifa_flags & IFF_UP) != 0, loopback});
    }
    freeifaddrs(interfaces);
    address = chooseLocalAddress(found);
    return address.empty() ? -1 : 0;
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    const DialogUnits du(font());
    setWindowTitle(QString::fromUtf8("バージョン情報 Quillmark"));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    setFixedSize(du.x(170), du.y(62));
    auto* icon = place(this, new QLabel, nullptr, du.rect(14, 14, 21, 20));
    icon->setPixmap(quillmarkIcon().pixmap(icon->size()));
    place(this, new QLabel(QStringLiteral("Quillmark, Version 1.0")), nullptr, du.rect(42, 14, 114, 8))
        ->setMinimumHeight(fontMetrics().height());
    auto* ok = place(this, new QPushButton(QStringLiteral("OK")), "1", du.rect(113, 41, 50, 14));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

CQuillmarkDlg::CQuillmarkDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QString::fromLatin1(kAppName));
    setWindowIcon(quillmarkIcon());
    setWindowFlags((windowFlags() | Qt::WindowCloseButtonHint) & ~Qt::WindowContextHelpButtonHint &
                   ~Qt::WindowMinMaxButtonsHint);
    QFont dialogFont = font();
    dialogFont.setPointSize(9);
    setFont(dialogFont);
    createControls();
    createOutputControls();
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

void CQuillmarkDlg::createControls() {
    const DialogUnits du(font());
    baseHeight_ = du.y(298);
    setFixedSize(du.x(441), baseHeight_);

    // Frames first, so the controls drawn over them stay on top.
    place(this, new QGroupBox(QStringLiteral("Server")), nullptr, du.rect(289, 13, 139, 107));
    place(this, new QGroupBox(QStringLiteral("Camera")), nullptr, du.rect(289, 127, 139, 56));
    dataFormatGroup_ = place(this, new QGroupBox(QStringLiteral("Data format")), "1026", du.rect(140, 13, 144, 169));
    place(this, new QGroupBox(QStringLiteral("Pattern")), nullptr, du.rect(13, 13, 122, 270));
    place(this, new QGroupBox(QStringLiteral("Output")), nullptr, du.rect(140, 188, 288, 94));

    start_ = makeButton(this, "Start", "1000", du.rect(312, 94, 46, 21));
    place(this, new QLabel(QStringLiteral("Port:")), nullptr, du.rect(297, 50, 24, 12));
    port_ = place(this, new QLineEdit, "1003", du.rect(312, 48, 27, 12));
    port_->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), port_));
    place(this, new QLabel(QStringLiteral("Mode:")), nullptr, du.rect(345, 50, 58, 12));
    automaticMode_ = place(this, new QRadioButton(QStringLiteral("Automatic Mode")), "1016", du.rect(364, 46, 60, 14));
    commandMode_ = place(this, new QRadioButton(QStringLiteral("Command Mode")), "1015", du.rect(364, 60, 60, 13));
    modeGroup_ = new QButtonGroup(this);
    modeGroup_->addButton(automaticMode_, 0);
    modeGroup_->addButton(commandMode_, 1);
    stop_ = makeButton(this, "Stop", "1001", du.rect(363, 94, 46, 21));

    place(this, new QLabel(QStringLiteral("Camera ID:")), nullptr, du.rect(297, 145, 39, 12));
    place(this, new QLabel(QStringLiteral("Image Size:")), nullptr, du.rect(297, 163, 38, 12));
    imageSize_ = place(this, new QComboBox, "1010", du.rect(333, 161, 62, 14));
    cameraId_ = place(this, new QComboBox, "1011", du.rect(333, 143, 29, 14));

    checkName_ = place(this, new QCheckBox(QStringLiteral("Name")), "1018", du.rect(147, 27, 123, 12));
    checkPos2d_ = place(this, new QCheckBox(QStringLiteral("Position in image (px, py)")), "1019", du.rect(147, 39, 123, 12));
    checkDvec_ = place(this, new QCheckBox(QStringLiteral("Direction vector (dx, dy)")), "1022", du.rect(147, 51, 123, 12));
    checkPos3d_ = place(this, new QCheckBox(QStringLiteral("Position in 3D space (X, Y, Z)")), "1024", du.rect(147, 63, 123, 12));
    checkArea_ = place(this, new QCheckBox(QStringLiteral("Area in image")), "1020", du.rect(147, 75, 123, 12));
    checkCf_ = place(this, new QCheckBox(QStringLiteral("Confidence value (0.0 - 1.0)")), "1021", du.rect(147, 87, 123, 12));
    checkVertex_ = place(this, new QCheckBox(QStringLiteral("Vertices in image (vx, vy)  x 4")), "1023", du.rect(147, 99, 123, 12));
    checkGLmatrix_ = place(this, new QCheckBox(QStringLiteral("OpenGL modelview matrix M[16]")), "1025", du.rect(147, 111, 123, 12));
    legend_ = place(this, new QPlainTextEdit, "1027", du.rect(146, 135, 132, 43));
    legend_->setReadOnly(true);
    legend_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    patternList_ = place(this, new QTreeWidget, "1028", du.rect(21, 147, 107, 129));
    patternList_->setColumnCount(2);
    patternList_->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Width [mm]")});
    patternList_->setColumnWidth(0, 100);
    patternList_->setColumnWidth(1, 100);
    patternList_->header()->setStretchLastSection(false);
    patternList_->setRootIsDecorated(false);
    patternList_->setSelectionMode(QAbstractItemView::SingleSelection);
    patternList_->setSelectionBehavior(QAbstractItemView::SelectRows);
    patternList_->setContextMenuPolicy(Qt::CustomContextMenu);

    patternCapture_ = makeButton(this, "Pattern Capture", "1031", du.rect(34, 30, 76, 22));
    thumbnailView_ = place(this, new QLabel, "1034", du.rect(25, 71, 46, 54));
    thumbnailView_->setFrameStyle(QFrame::Box | QFrame::Plain);
    thumbnailView_->setStyleSheet(QStringLiteral("color: gray"));
    thumbnailView_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(this, new QLabel(QStringLiteral("Name:")), nullptr, du.rect(84, 61, 47, 12));
    place(this, new QLabel(QStringLiteral("Width [mm]:")), nullptr, du.rect(84, 89, 47, 12));
    name_ = place(this, new QLineEdit, "1035", du.rect(83, 71, 43, 12));
    width_ = place(this, new QLineEdit, "1036", du.rect(83, 99, 43, 12));
    update_ = makeButton(this, "Update", "1037", du.rect(81, 118, 44, 19));
    preview_ = place(this, new QCheckBox(QStringLiteral("Show preview window")), "1039", du.rect(312, 75, 87, 13));

    output_ = place(this, new QPlainTextEdit, "1041", du.rect(145, 201, 277, 74));
    output_->setReadOnly(true);
    output_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    place(this, new QLabel(QStringLiteral("IP:")), nullptr, du.rect(302, 30, 24, 12));
    ip_ = place(this, new QLineEdit, "1042", du.rect(312, 28, 58, 12));
    ip_->setReadOnly(true);

    // Line edits and combo boxes need their font's height, whatever the units give.
    for (QWidget* w : std::initializer_list<QWidget*>{port_, name_, width_, ip_, cameraId_, imageSize_})
        w->resize(w->width(), std::max(w->height(), w->sizeHint().height()));

    createStatusLine();
    // Below everything specified: rows of options, each a widget of its
    // own, stacked as they are added.
    options_ = place(this, new QWidget, nullptr, QRect(du.x(13), baseHeight_, du.x(415), 0));
    optionRows_ = new QVBoxLayout(options_);
    optionRows_->setContentsMargins(0, 0, 0, 0);
    createDetectorControls();

    connect(start_, &QPushButton::clicked, this, &CQuillmarkDlg::OnStart);
    connect(stop_, &QPushButton::clicked, this, &CQuillmarkDlg::OnStop);
    connect(patternCapture_, &QPushButton::clicked, this, &CQuillmarkDlg::OnPatternCapture);
    connect(update_, &QPushButton::clicked, this, &CQuillmarkDlg::OnUpdatePattern);
    for (QCheckBox* box : {checkName_, checkPos2d_, checkDvec_, checkPos3d_, checkArea_, checkCf_, checkVertex_,
                           checkGLmatrix_})
        connect(box, &QCheckBox::clicked, this, &CQuillmarkDlg::OnDataFormatCheck);
    createStampControl();
    connect(patternList_, &QTreeWidget::customContextMenuRequested, this, &CQuillmarkDlg::OnPatternListRightClick);
    connect(patternList_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this](const QItemSelection& selected, const QItemSelection&) {
                for (const QModelIndex& index : selected.indexes())
                    if (index.column() == 0) OnPatternListItemChanged(index.row());
            });
}

void CQuillmarkDlg::addOptionRow(QWidget* row) {
    optionRows_->addWidget(row);
    const int rowsHeight = optionRows_->sizeHint().height();
    options_->resize(options_->width(), rowsHeight);
    setFixedSize(width(), baseHeight_ + rowsHeight + DialogUnits(font()).y(7));
}

void CQuillmarkDlg::createStatusLine() {
    const DialogUnits du(font());
    status_ = place(this, new QLabel, "serverStatus", du.rect(145, 284, 277, 10));
    status_->resize(status_->width(), std::max(status_->height(), status_->sizeHint().height()));
    statusTimer_ = new QTimer(this);
    statusTimer_->setInterval(500);
    connect(statusTimer_, &QTimer::timeout, this, &CQuillmarkDlg::showRunningStatus);
}

void CQuillmarkDlg::showRunningStatus() {
    status_->setText(QString::fromStdString(
        runningStatusText(port(), frameRate_.sample(FrameRateMeter::Clock::now()), Network::liveConnections())));
}

// The stamp switch sits under the eight field switches, in the room the
// legend gave up by moving 4 units down, and behaves like them: it changes
// the legend and is fixed while running.
void CQuillmarkDlg::createStampControl() {
    const DialogUnits du(font());
    checkStamp_ = place(this, new QCheckBox(QStringLiteral("Frame number and capture time")), "checkStamp",
                        du.rect(147, 123, 123, 12));
    connect(checkStamp_, &QCheckBox::clicked, this, &CQuillmarkDlg::OnDataFormatCheck);
}

void CQuillmarkDlg::OnInitDialog() {
    std::string address;
    GetLocalAddress(address);
    ip_->setText(QString::fromLatin1(address.c_str()));

    LoadConfig(settings_);
    showOutputTargets();
    for (int i = 0; i < settings_.maxCameraNum; ++i) cameraId_->addItem(QString::number(i));
    UpdateData(false);
    for (const ImageSize& size : settings_.imageSizeList)
        imageSize_->addItem(QStringLiteral("%1x%2").arg(size.width).arg(size.height));
    UpdateData(false);

    Catalogue entries;
    std::vector<std::string> problems;
    catalogueReadWhole_ =
        LoadPatternList(entries, &problems) != 0 || static_cast<int>(entries.size()) == storedPatternCount();
    if (!problems.empty()) {
        std::string text;
        for (const std::string& problem : problems) text += problem + ".\r\n";
        messageBox(kAppName, QString::fromLocal8Bit(text.c_str()), QMessageBox::Warning);
    }
    if (!catalogueReadWhole_) {
        messageBox(kAppName,
                   QStringLiteral("Data/pattern_list.txt could not be read whole: only the patterns before the "
                                  "damaged entry are listed. The file will be kept as %1 when Quillmark closes.")
                       .arg(QString::fromLatin1(kUnreadPatternListPath)),
                   QMessageBox::Warning);
    }
    for (const PatternEntry& entry : entries)
        if (AddPatternRow(entry) != 0) break;

    UpdateData(false);
    UpdateDataFormat();

    thumbnail_.release();
    if (patternList_->topLevelItemCount() == 0) showPlaceholderThumbnail();
    selectRow(0);
}

bool CQuillmarkDlg::UpdateData(bool fromControls, bool report) {
    exchangeDetectorSettings(fromControls);
    if (!fromControls) {
        port_->setText(QString::number(settings_.port));
        cameraId_->setCurrentIndex(settings_.cameraSelected < cameraId_->count() ? settings_.cameraSelected : -1);
        imageSize_->setCurrentIndex(settings_.imageSizeSelected < imageSize_->count() ? settings_.imageSizeSelected : -1);
        (settings_.dataFlow == 1 ? commandMode_ : automaticMode_)->setChecked(true);
        checkName_->setChecked(settings_.checkName);
        checkPos2d_->setChecked(settings_.checkPos2d);
        checkDvec_->setChecked(settings_.checkDvec);
        checkPos3d_->setChecked(settings_.checkPos3d);
        checkArea_->setChecked(settings_.checkArea);
        checkCf_->setChecked(settings_.checkCf);
        checkVertex_->setChecked(settings_.checkVertex);
        checkGLmatrix_->setChecked(settings_.checkGLmatrix);
        preview_->setChecked(settings_.checkPreview);
        checkStamp_->setChecked(settings_.checkStamp);
        legend_->setPlainText(toDisplay(legendText_));
        name_->setText(nameText_);
        width_->setText(QString::number(widthMm_, 'g', 15));
        tuio_->setText(tuioText_);
        mqtt_->setText(mqttText_);
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
    settings_.checkName = checkName_->isChecked();
    settings_.checkPos2d = checkPos2d_->isChecked();
    settings_.checkDvec = checkDvec_->isChecked();
    settings_.checkPos3d = checkPos3d_->isChecked();
    settings_.checkArea = checkArea_->isChecked();
    settings_.checkCf = checkCf_->isChecked();
    settings_.checkVertex = checkVertex_->isChecked();
    settings_.checkGLmatrix = checkGLmatrix_->isChecked();
    settings_.checkPreview = preview_->isChecked();
    settings_.checkStamp = checkStamp_->isChecked();
    nameText_ = name_->text();
    tuioText_ = tuio_->text().trimmed();
    mqttText_ = mqtt_->text().trimmed();
    if (report && !portOk) messageBox(kAppName, QStringLiteral("Please enter an integer."), QMessageBox::Warning);
    else if (report && !widthOk) messageBox(kAppName, QStringLiteral("Please enter a number."), QMessageBox::Warning);
    return portOk && widthOk;
}

DataFormat CQuillmarkDlg::dataFormat() const { return dataFormatOf(settings_); }

void CQuillmarkDlg::UpdateDataFormat() {
    UpdateData(true, false);
    setActiveDataFormat(dataFormat());
    legendText_ = legendBoxText(dataFormat());
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
    if (loadCameraParam(kCameraParamPath, 1, &record) == 0 && record.xsize > 0 && record.ysize > 0) return true;
    messageBox(QStringLiteral("Error"),
               QStringLiteral("%1 could not be read: the camera parameters are missing or incomplete. "
                              "Make it with quillmark calibrate (see the README, \"Use your own camera\").")
                   .arg(QString::fromLatin1(kCameraParamPath)),
               QMessageBox::Critical);
    return false;
}

void CQuillmarkDlg::OnStart() {
    if (tracking_.exists() || capture_.exists()) return;
    if (!UpdateData(true)) return;
    if (!takeOutputTargets(true)) return;
    TrackingJob job;
    if (!readCameraParam(job.cameraParam)) return;
    if (!openCamera()) return;
    // The Image Size selection is shown and kept but not applied: the
    // camera's own frames decide the size, so an empty or stale list is no
    // reason to refuse.
    setActiveDataFormat(dataFormat());
    AutomaticModeFlag = settings_.dataFlow == 0;
    CatalogueFromList(patternRows(), catalogue_);
    DisableSettingControls();
    job.camera = &camera_;
    job.catalogue = catalogue_;
    job.port = settings_.port;
    job.detectorOptions = detectorOptionsOf(settings_);
    job.frameOutputs = makeFrameOutputs(tuioTargetOf(settings_), mqttTargetOf(settings_), dataFormat(),
                                        [this](const std::string& notice) { reportProblem(notice); });
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
    enableDetectorControls(enabled);
    stop_->setEnabled(enabled);
}

void CQuillmarkDlg::DisableSettingControls() {
    for (QWidget* w : std::initializer_list<QWidget*>{
             start_, patternCapture_, cameraId_, imageSize_, automaticMode_, commandMode_, checkName_, checkPos2d_,
             checkDvec_, checkPos3d_, checkArea_, checkCf_, checkVertex_, checkGLmatrix_, update_})
        w->setEnabled(false);
    enableDetectorControls(false);
    checkStamp_->setEnabled(false);
    for (QLineEdit* edit : {port_, width_, name_}) edit->setReadOnly(true);
    enableOutputControls(false);
}

void CQuillmarkDlg::EnableSettingControls() {
    for (QWidget* w : std::initializer_list<QWidget*>{
             start_, patternCapture_, port_, cameraId_, imageSize_, dataFormatGroup_, automaticMode_, commandMode_,
             checkName_, checkPos2d_, checkDvec_, checkPos3d_, checkArea_, checkCf_, checkVertex_, checkGLmatrix_})
        w->setEnabled(true);
    checkStamp_->setEnabled(true);
    for (QLineEdit* edit : {port_, width_, name_}) edit->setReadOnly(false);
    update_->setEnabled(true);
    enableOutputControls(true);
    enableDetectorControls(true);
}

// -- Detector opt-ins: a row of their own below the specified controls,
// switched at Start like the other settings, so greyed while the server runs.

void CQuillmarkDlg::createDetectorControls() {
    auto* row = new QWidget;
    detectorRow_ = new QHBoxLayout(row);
    detectorRow_->setContentsMargins(0, 0, 0, 0);
    cornerRefine_ = new QCheckBox(QStringLiteral("Sub-pixel corners"));
    cornerRefine_->setObjectName(QStringLiteral("CornerRefine"));
    cornerRefine_->setToolTip(QStringLiteral("Find each marker's corners to a fraction of a pixel from the grey "
                                             "levels across its sides, for steadier poses ([CornerRefine])."));
    threshold_ = new QSpinBox;
    threshold_->setObjectName(QStringLiteral("threshold"));
    threshold_->setRange(kThresholdMin, kThresholdMax);
    threshold_->setToolTip(QStringLiteral("A pixel is dark when its grey level is at most this"));
    autoThreshold_ = new QCheckBox(QStringLiteral("Automatic"));
    autoThreshold_->setObjectName(QStringLiteral("autoThreshold"));
    autoThreshold_->setToolTip(QStringLiteral("A threshold that follows the local light"));
    connect(autoThreshold_, &QCheckBox::toggled, this,
            [this](bool automatic) { threshold_->setEnabled(!automatic && autoThreshold_->isEnabled()); });
    detectorRow_->addWidget(new QLabel(QStringLiteral("Threshold:")));
    detectorRow_->addWidget(threshold_);
    detectorRow_->addWidget(autoThreshold_);
    detectorRow_->addSpacing(DialogUnits(font()).x(12));
    detectorRow_->addWidget(cornerRefine_);
    detectorRow_->addStretch(1);
    addOptionRow(row);
}

void CQuillmarkDlg::exchangeDetectorSettings(bool fromControls) {
    if (fromControls) {
        settings_.cornerRefine = cornerRefine_->isChecked() ? 1 : 0;
        settings_.threshold = threshold_->value();
        settings_.autoThreshold = autoThreshold_->isChecked() ? 1 : 0;
        return;
    }
    cornerRefine_->setChecked(settings_.cornerRefine != 0);
    threshold_->setValue(settings_.threshold);
    autoThreshold_->setChecked(settings_.autoThreshold != 0);
    threshold_->setEnabled(settings_.autoThreshold == 0 && autoThreshold_->isEnabled());
}

// Read at Start and at Pattern Capture: fixed while either runs.
void CQuillmarkDlg::enableDetectorControls(bool enabled) {
    cornerRefine_->setEnabled(enabled);
    autoThreshold_->setEnabled(enabled);
    threshold_->setEnabled(enabled && !autoThreshold_->isChecked());
}

bool CQuillmarkDlg::OnCancelCommand() {
    // Stop pressed, or the capture window closed: the operator has done what
    // the refusals below ask, and the worker is only winding down.
    const bool trackingEnding = tracking_.exists() && tracking_.TrackingRunning == 0;
    const bool captureEnding = capture_.exists() && capture_.CaptureRunning == 0;
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
    Catalogue catalogue;
    CatalogueFromList(patternRows(), catalogue);
    // The entries that could not be read would be lost by the rewrite.
    if (!catalogueReadWhole_) {
        std::error_code ignored;
        std::filesystem::copy_file("Data/pattern_list.txt", kUnreadPatternListPath,
                                   std::filesystem::copy_options::overwrite_existing, ignored);
    }
    // Losing the operator's catalogue or settings silently would only show
    // at the next start; say so now, naming the file.
    if (SavePatternList(catalogue) != 0)
        messageBox(kAppName, QStringLiteral("Data/pattern_list.txt could not be written; the pattern list of this run is lost."),
                   QMessageBox::Warning);
    UpdateData(true, false);
    takeOutputTargets(false);
    if (SaveConfig(settings_) != 0)
        messageBox(kAppName, QStringLiteral("Data/config.txt could not be written; the settings of this run are lost."),
                   QMessageBox::Warning);
    QDialog::reject();
    return true;
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

void CQuillmarkDlg::DrawThumbnail() {
    // A row whose thumbnail is missing shows an empty frame, not the
    // previous row's picture.
    if (thumbnail_.empty()) {
        thumbnailView_->clear();
        return;
    }
    const QImage image(thumbnail_.data, thumbnail_.cols, thumbnail_.rows, static_cast<int>(thumbnail_.step),
                       QImage::Format_BGR888);
    // Unscaled from the top-left corner; the label clips what does not fit.
    thumbnailView_->setPixmap(QPixmap::fromImage(image.copy()));
}

void CQuillmarkDlg::showPlaceholderThumbnail() {
    thumbnail_.release();
    for (const char* path : kPlaceholderPaths) {
        thumbnail_ = loadColourImage(path);
        if (!thumbnail_.empty()) break;
    }
    DrawThumbnail();
}

int CQuillmarkDlg::selectedRow() const {
    const QList<QTreeWidgetItem*> selected = patternList_->selectedItems();
    return selected.isEmpty() ? -1 : patternList_->indexOfTopLevelItem(selected.first());
}

void CQuillmarkDlg::selectRow(int row) {
    if (QTreeWidgetItem* item = patternList_->topLevelItem(row)) {
        patternList_->setCurrentItem(item);
        patternList_->setFocus();
    }
}

int CQuillmarkDlg::AddPatternRow(const PatternEntry& entry) {
    auto* item = new QTreeWidgetItem;
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
    item->setText(0, QString::fromLocal8Bit(entry.name.c_str()));
    item->setCheckState(0, entry.inUse ? Qt::Checked : Qt::Unchecked);
    item->setText(1, QString::fromLatin1(formatWidthText(entry.width).c_str()));
    patternList_->addTopLevelItem(item);
    selectRow(patternList_->topLevelItemCount() - 1);
    return 0;
}

std::vector<PatternRow> CQuillmarkDlg::patternRows() const {
    std::vector<PatternRow> rows;
    for (int i = 0; i < patternList_->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = patternList_->topLevelItem(i);
        rows.push_back(PatternRow{item->text(0).toLocal8Bit().toStdString(), item->text(1).toStdString(),
                                  item->checkState(0) == Qt::Checked});
    }
    return rows;
}

void CQuillmarkDlg::OnPatternListItemChanged(int row) {
    const QTreeWidgetItem* item = patternList_->topLevelItem(row);
    if (!item) return;
    UpdateData(true, false);
    thumbnail_.release();
    thumbnail_ = loadColourImage(thumbnailFilePath(row).c_str());
    DrawThumbnail();
    nameText_ = item->text(0);
    widthMm_ = QLocale::c().toDouble(item->text(1));
    UpdateData(false);
}

QMenu* CQuillmarkDlg::createPatternMenu() {
    auto* menu = new QMenu(this);
    QAction* remove = menu->addAction(QStringLiteral("Remove this pattern"), this, &CQuillmarkDlg::OnRemovePattern);
    remove->setData(kRemovePatternCommand);
    // The running server has loaded the catalogue by row number.
    remove->setEnabled(!tracking_.exists());
    return menu;
}

void CQuillmarkDlg::OnPatternListRightClick(const QPoint& position) {
    QMenu* menu = createPatternMenu();
    menu->exec(patternList_->viewport()->mapToGlobal(position));
    delete menu;
}

void CQuillmarkDlg::OnRemovePattern() {
    const int k = selectedRow();
    if (k < 0 || tracking_.exists()) return;
    const int n = patternList_->topLevelItemCount();
    std::remove(patternFilePath(k).c_str());
    std::remove(thumbnailFilePath(k).c_str());
    for (int i = k + 1; i < n; ++i) {
        std::rename(patternFilePath(i).c_str(), patternFilePath(i - 1).c_str());
        std::rename(thumbnailFilePath(i).c_str(), thumbnailFilePath(i - 1).c_str());
    }
    {
        // The row that moves up into k is selected below, so that its
        // thumbnail and values are shown; Qt's own choice is dropped.
        const QSignalBlocker blocker(patternList_->selectionModel());
        delete patternList_->takeTopLevelItem(k);
        patternList_->clearSelection();
    }
    if (k < patternList_->topLevelItemCount()) {
        selectRow(k);
    } else {
        // No row is selected now: the boxes and the picture must not go on
        // showing the entry that is gone.
        showPlaceholderThumbnail();
        nameText_.clear();
        widthMm_ = 0.0;
        UpdateData(false);
    }
}

void CQuillmarkDlg::OnUpdatePattern() {
    const int row = selectedRow();
    if (row < 0) return;
    if (!UpdateData(true)) return;
    // The catalogue file is read word by word: a name must stay one word.
    if (const char* problem = patternNameProblem(nameText_.toLocal8Bit().toStdString())) {
        messageBox(kAppName, QStringLiteral("The name \"%1\" cannot be used: %2.").arg(nameText_, QString::fromLatin1(problem)),
                   QMessageBox::Warning);
        return;
    }
    if (!std::isfinite(widthMm_) || widthMm_ <= 0.0) {
        messageBox(kAppName, QStringLiteral("The width must be a positive number of millimetres."), QMessageBox::Warning);
        return;
    }
    QTreeWidgetItem* item = patternList_->topLevelItem(row);
    item->setText(0, nameText_);
    item->setText(1, QString::fromLatin1(formatWidthText(widthMm_).c_str()));
    UpdateData(false);
    // Accepted, as two prints of one pattern may rightly share a name, but
    // said, as clients then cannot tell them apart.
    for (int other = 0; other < patternList_->topLevelItemCount(); ++other) {
        if (other != row && patternList_->topLevelItem(other)->text(0) == nameText_) {
            const std::string warning = sharedNameWarning(nameText_.toLocal8Bit().toStdString(), other);
            messageBox(kAppName, QStringLiteral("Updated, but %1.").arg(QString::fromLocal8Bit(warning.c_str())),
                       QMessageBox::Warning);
            break;
        }
    }
}

// ---- The TUIO and MQTT outputs.

void CQuillmarkDlg::createOutputControls() {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    tuio_ = new QLineEdit;
    tuio_->setObjectName(QStringLiteral("1071"));
    tuio_->setPlaceholderText(QStringLiteral("HOST[:PORT]  (off when empty)"));
    tuio_->setToolTip(QStringLiteral("Send TUIO 1.1 (/tuio/2Dobj and /tuio/3Dobj) over UDP; port 3333 by default."));
    mqtt_ = new QLineEdit;
    mqtt_->setObjectName(QStringLiteral("1072"));
    mqtt_->setPlaceholderText(QStringLiteral("HOST[:PORT][/PREFIX]  (off when empty)"));
    mqtt_->setToolTip(QStringLiteral("Publish PREFIX/report and PREFIX/markers/NAME to an MQTT broker; port 1883 "
                                     "and prefix quillmark by default."));
    layout->addWidget(new QLabel(QStringLiteral("TUIO:")));
    layout->addWidget(tuio_, 1);
    layout->addWidget(new QLabel(QStringLiteral("MQTT:")));
    layout->addWidget(mqtt_, 2);
    addOptionRow(row);
}

void CQuillmarkDlg::showOutputTargets() {
    tuioText_ = QString::fromStdString(tuioTargetText(tuioTargetOf(settings_)));
    mqttText_ = QString::fromStdString(mqttTargetText(mqttTargetOf(settings_)));
    tuio_->setText(tuioText_);
    mqtt_->setText(mqttText_);
}

bool CQuillmarkDlg::takeOutputTargets(bool report) {
    OutputTarget tuio, mqtt;
    std::string error;
    if (!parseTuioTarget(tuioText_.toStdString(), "TUIO", tuio, error) ||
        !parseMqttTarget(mqttText_.toStdString(), "MQTT", mqtt, error)) {
        if (report) messageBox(kAppName, QString::fromStdString(error), QMessageBox::Warning);
        return false;
    }
    setOutputTargets(settings_, tuio, mqtt);
    return true;
}

void CQuillmarkDlg::enableOutputControls(bool enabled) {
    for (QLineEdit* edit : {tuio_, mqtt_}) edit->setEnabled(enabled);
}

// ---- Worker side: each call hops to the GUI thread.

bool CQuillmarkDlg::previewChecked() {
    return onGuiThread(this, [this] { return preview_->isChecked(); });
}

bool CQuillmarkDlg::showPreview(const cv::Mat& bgra) {
    // Owned by the dialog's window, so a modal dialog leaves its input alone.
    if (!previewDisplay_) previewDisplay_ = std::make_unique<FrameDisplay>("Preview", nullptr, this);
    if (previewDisplay_->ended()) return false;
    previewDisplay_->show(bgra);
    return true;
}

void CQuillmarkDlg::closePreview() { previewDisplay_.reset(); }

void CQuillmarkDlg::uncheckPreview() {
    QMetaObject::invokeMethod(this, [this] { preview_->setChecked(false); }, Qt::QueuedConnection);
}

int CQuillmarkDlg::patternRowCount() {
    return onGuiThread(this, [this] { return patternList_->topLevelItemCount(); });
}

bool CQuillmarkDlg::patternRowChecked(int row) {
    return onGuiThread(this, [this, row] {
        const QTreeWidgetItem* item = patternList_->topLevelItem(row);
        return item && item->checkState(0) == Qt::Checked;
    });
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
