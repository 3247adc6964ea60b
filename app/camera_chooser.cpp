#include "camera_chooser.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
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
    resize(420, 240);
}

std::string CCameraChooserDlg::chosenSpec() const {
    const int row = list_->currentRow();
    return row >= 0 && row < static_cast<int>(sources_.size()) ? sources_[row].name : std::string();
}

std::string chooseCameraSource(QWidget* parent, int presetIndex) {
    CCameraChooserDlg chooser(enumerateCameraSources(), presetIndex, parent);
    return chooser.exec() == QDialog::Accepted ? chooser.chosenSpec() : std::string();
}
