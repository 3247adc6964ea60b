#include "camera_chooser.h"

#include <algorithm>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QVBoxLayout>

CCameraChooserDlg::CCameraChooserDlg(const std::vector<CameraSource>& sources, int presetIndex, QWidget* parent)
    : QDialog(parent), sources_(sources) {
    setWindowTitle(QStringLiteral("Select Camera"));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Cameras found:")));
    list_ = new QListWidget;
    list_->setObjectName(QStringLiteral("sources"));
    for (const CameraSource& source : sources_)
        list_->addItem(QString::fromStdString(source.description + "  [" + source.name + "]"));
    if (!sources_.empty())
        list_->setCurrentRow(presetIndex >= 0 && presetIndex < static_cast<int>(sources_.size()) ? presetIndex : 0);
    layout->addWidget(list_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    buttons->button(QDialogButtonBox::Ok)->setEnabled(!sources_.empty());
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(list_, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
    layout->addWidget(buttons);
    fitListToSources();
}

void CCameraChooserDlg::fitListToSources() {
    // Every description whole and every source in view, so the choice needs
    // no scrolling; a screen too small for that still gets a window that fits.
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    constexpr int kMaxRowsInView = 10;
    const int frame = 2 * list_->frameWidth();
    const int textWidth = std::max(list_->sizeHintForColumn(0), list_->fontMetrics().horizontalAdvance(QLatin1Char('x')) * 40);
    const int rows = std::clamp(list_->count(), 3, kMaxRowsInView);
    const int rowHeight = std::max(list_->sizeHintForRow(0), list_->fontMetrics().height() + 2);
    list_->setMinimumSize(std::min(textWidth + frame + list_->verticalScrollBar()->sizeHint().width(), screen.width() * 9 / 10),
                          std::min(rows * rowHeight + frame, screen.height() / 2));
    adjustSize();
}

std::string CCameraChooserDlg::chosenSpec() const {
    const int row = list_->currentRow();
    return row >= 0 && row < static_cast<int>(sources_.size()) ? sources_[row].name : std::string();
}

std::string chooseCameraSource(QWidget* parent, int presetIndex) {
    CCameraChooserDlg chooser(enumerateCameraSources(), presetIndex, parent);
    return chooser.exec() == QDialog::Accepted ? chooser.chosenSpec() : std::string();
}
