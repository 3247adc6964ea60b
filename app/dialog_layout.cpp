// The dialog's controls and their places, the rows below them, and the
// About box. Ids, captions and sizes follow the classic dialog template.
#include "dialog.h"
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include "dialog_layout.h"

QIcon quillmarkIcon() {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::white);
    QPainter painter(&pixmap);
    painter.fillRect(2, 2, 28, 28, Qt::black);
    painter.fillRect(8, 8, 16, 16, Qt::white);
    painter.fillRect(10, 10, 6, 6, Qt::black);
    return QIcon(pixmap);
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

void CQuillmarkDlg::createControls() {
    const DialogUnits du(font());
    baseHeight_ = du.y(298);
    setFixedSize(du.x(441), baseHeight_);

    // Frames first, so the controls drawn over them stay on top.
    place(this, new QGroupBox(QStringLiteral("Server")), nullptr, du.rect(289, 13, 139, 107));
    place(this, new QGroupBox(QStringLiteral("Camera")), nullptr, du.rect(289, 127, 139, 56));
    place(this, new QGroupBox(QStringLiteral("Data format")), "1026", du.rect(140, 13, 144, 169));
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

    for (int k = 0; k < REPORT_FIELD_COUNT; ++k) {
        const ReportField& field = REPORT_FIELDS[k];
        fieldBoxes_[k] = place(this, new QCheckBox(QString::fromLatin1(field.caption)), field.controlId,
                               du.rect(147, 27 + 12 * k, 123, 12));
    }
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
    createOptionRows();

    connect(start_, &QPushButton::clicked, this, &CQuillmarkDlg::OnStart);
    connect(stop_, &QPushButton::clicked, this, &CQuillmarkDlg::OnStop);
    connect(patternCapture_, &QPushButton::clicked, this, &CQuillmarkDlg::OnPatternCapture);
    connect(update_, &QPushButton::clicked, this, &CQuillmarkDlg::OnUpdatePattern);
    for (QCheckBox* box : fieldBoxes_)
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

void CQuillmarkDlg::addOptionRow(OptionRow* row) {
    optionRowList_.push_back(row);
    addOptionRow(static_cast<QWidget*>(row));
}

// Every row below the specified controls, in the order they stack. A new
// row is one line here (see option_rows.h).
void CQuillmarkDlg::createOptionRows() {
    addOptionRow(new DetectorOptionRow(DialogUnits(font()).x(12)));
    addOptionRow(new OutputTargetRow);
    addOptionRow(new WebPageRow);
}

void CQuillmarkDlg::createStatusLine() {
    const DialogUnits du(font());
    status_ = place(this, new QLabel, "serverStatus", du.rect(145, 284, 277, 10));
    status_->resize(status_->width(), std::max(status_->height(), status_->sizeHint().height()));
    statusTimer_ = new QTimer(this);
    statusTimer_->setInterval(500);
    connect(statusTimer_, &QTimer::timeout, this, &CQuillmarkDlg::showRunningStatus);
}


// The stamp switch sits under the eight field switches, in the room the
// legend gave up by moving 4 units down, and behaves like them: it changes
// the legend and is fixed while running.
void CQuillmarkDlg::createStampControl() {
    const DialogUnits du(font());
    checkStamp_ = place(this, new QCheckBox(QStringLiteral("Frame number and capture time")), "checkStamp",
                        du.rect(147, 27 + 12 * REPORT_FIELD_COUNT, 123, 12));
    connect(checkStamp_, &QCheckBox::clicked, this, &CQuillmarkDlg::OnDataFormatCheck);
}
