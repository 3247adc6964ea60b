// The pattern list: its rows are the catalogue while the program runs. Rows
// and their numbered files (Data/NNN.patt, Data/NNN.jpg) move together:
// removing a row renumbers the files of the rows below it.
#include "dialog.h"
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <unistd.h>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QTreeWidget>
#include <opencv2/imgcodecs.hpp>
#include "dialog_layout.h"
#include "whole_file.h"

namespace {

// The placeholder sits beside Data/ in a classic layout and inside it in ours.
const char* const kPlaceholderPaths[] = {"no_pattern.bmp", "Data/no_pattern.bmp"};
constexpr int kRemovePatternCommand = 1500;

// A missing picture is normal here (a row without thumbnail), not worth
// OpenCV's warning; anything else that keeps it from being read is named.
cv::Mat loadColourImage(const char* path) {
    const std::string problem = fileReadProblem(path);
    if (problem.empty()) return cv::imread(path, cv::IMREAD_COLOR);
    if (access(path, F_OK) == 0) std::printf("%s can not open: %s.\n", path, problem.c_str());
    return cv::Mat();
}

} // namespace

// Fills the list from Data/pattern_list.txt, saying what could not be read.
void CQuillmarkDlg::loadCatalogue() {
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
}

// Writes the list back at close; a file that was not read whole is kept
// beside it first.
void CQuillmarkDlg::saveCatalogue() {
    Catalogue catalogue;
    CatalogueFromList(patternRows(), catalogue);
    // The entries that could not be read would be lost by the rewrite.
    if (!catalogueReadWhole_) {
        std::error_code ignored;
        std::filesystem::copy_file("Data/pattern_list.txt", kUnreadPatternListPath,
                                   std::filesystem::copy_options::overwrite_existing, ignored);
    }
    // Losing the operator's catalogue silently would only show at the next
    // start; say so now, naming the file.
    std::string error;
    if (SavePatternList(catalogue, &error) != 0)
        messageBox(kAppName,
                   QStringLiteral("%1. Data/pattern_list.txt keeps the patterns it had; the changes to the pattern "
                                  "list of this run are lost.")
                       .arg(QString::fromLocal8Bit(error.c_str())),
                   QMessageBox::Warning);
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
