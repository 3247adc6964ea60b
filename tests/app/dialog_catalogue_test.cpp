// Editing the catalogue in the dialog's list: removal with file
// renumbering, Update, selection and check boxes.
#include <gtest/gtest.h>
#include <filesystem>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>
#include "dialog_support.h"
#include "temp_dir.h"

namespace {

const cv::Scalar kColour[3] = {cv::Scalar(255, 0, 0), cv::Scalar(0, 255, 0), cv::Scalar(0, 0, 255)};

class DialogCatalogue : public ::testing::Test {
protected:
    void SetUp() override {
        ensureApplication();
        dir.enterWithData();
        writeCatalogue({{"A", 80, true}, {"B", 40, false}, {"C", 62.5, true}});
        for (int i = 0; i < 3; ++i) {
            writeFile(patternFilePath(i), "pattern " + std::to_string(i));
            writeSolidImage(thumbnailFilePath(i), kColour[i]);
        }
        writeSolidImage("Data/no_pattern.bmp", cv::Scalar(7, 7, 7));
        dialog.OnInitDialog();
        list = control<QTreeWidget>(dialog, "1028");
    }

    void select(int row) { list->setCurrentItem(list->topLevelItem(row)); }
    QString nameBox() { return control<QLineEdit>(dialog, "1035")->text(); }
    QString widthBox() { return control<QLineEdit>(dialog, "1036")->text(); }
    cv::Vec3b thumbnailColour() { return dialog.thumbnail().at<cv::Vec3b>(20, 20); }
    static cv::Vec3b vec(const cv::Scalar& s) { return cv::Vec3b(s[0], s[1], s[2]); }
    static bool near(cv::Vec3b a, cv::Vec3b b) { return cv::norm(cv::Vec3i(a) - cv::Vec3i(b)) < 12; }

    ApplicationFirst application;
    TempDir dir;
    TestDialog dialog;
    QTreeWidget* list = nullptr;
};

TEST_F(DialogCatalogue, RowsComeFromTheFileWithTheirCheckStates) {
    ASSERT_EQ(list->topLevelItemCount(), 3);
    EXPECT_EQ(list->topLevelItem(1)->text(0), "B");
    EXPECT_EQ(list->topLevelItem(1)->text(1), "40.0");
    EXPECT_EQ(list->topLevelItem(0)->checkState(0), Qt::Checked);
    EXPECT_EQ(list->topLevelItem(1)->checkState(0), Qt::Unchecked);
    // Row 0 is selected at start and shown.
    EXPECT_EQ(nameBox(), "A");
    EXPECT_EQ(widthBox(), "80");
    EXPECT_TRUE(near(thumbnailColour(), vec(kColour[0])));
}

TEST_F(DialogCatalogue, SelectingARowShowsItsThumbnailNameAndWidth) {
    select(2);
    EXPECT_EQ(nameBox(), "C");
    EXPECT_EQ(widthBox(), "62.5");
    EXPECT_TRUE(near(thumbnailColour(), vec(kColour[2])));
}

TEST_F(DialogCatalogue, ARowWithoutThumbnailShowsNoPicture) {
    std::filesystem::remove(thumbnailFilePath(1));
    select(1);
    EXPECT_TRUE(dialog.thumbnail().empty());
    EXPECT_TRUE(control<QLabel>(dialog, "1034")->pixmap(Qt::ReturnByValue).isNull());
    EXPECT_EQ(nameBox(), "B");
}

TEST_F(DialogCatalogue, ToggingACheckBoxLeavesTheBoxesAlone) {
    select(0);
    control<QLineEdit>(dialog, "1035")->setText("typed");
    list->topLevelItem(2)->setCheckState(0, Qt::Unchecked);
    EXPECT_EQ(nameBox(), "typed");
    EXPECT_TRUE(near(thumbnailColour(), vec(kColour[0])));
}

TEST_F(DialogCatalogue, RemovingRowZeroRenumbersTheFiles) {
    select(0);
    std::unique_ptr<QMenu> menu(dialog.createPatternMenu());
    ASSERT_EQ(menu->actions().size(), 1);
    EXPECT_EQ(menu->actions()[0]->text(), "Remove this pattern");
    ASSERT_TRUE(menu->actions()[0]->isEnabled());
    menu->actions()[0]->trigger();

    ASSERT_EQ(list->topLevelItemCount(), 2);
    EXPECT_EQ(list->topLevelItem(0)->text(0), "B");
    EXPECT_EQ(list->topLevelItem(1)->text(0), "C");
    EXPECT_EQ(readFile("Data/000.patt"), "pattern 1");
    EXPECT_EQ(readFile("Data/001.patt"), "pattern 2");
    EXPECT_FALSE(std::filesystem::exists("Data/002.patt"));
    EXPECT_FALSE(std::filesystem::exists("Data/002.jpg"));
    // The new row 0 is selected and its (moved) thumbnail shown.
    EXPECT_TRUE(list->topLevelItem(0)->isSelected());
    EXPECT_EQ(nameBox(), "B");
    EXPECT_TRUE(near(thumbnailColour(), vec(kColour[1])));

    ASSERT_TRUE(dialog.OnCancelCommand());
    EXPECT_EQ(readFile("Data/pattern_list.txt"),
              "[Pattern]\tB\tData/000.patt\t40\tnot_use\n[Pattern]\tC\tData/001.patt\t62.5\tuse\n");
}

TEST_F(DialogCatalogue, RemovingTheLastRowSelectsNothing) {
    select(2);
    dialog.OnRemovePattern();
    ASSERT_EQ(list->topLevelItemCount(), 2);
    EXPECT_TRUE(list->selectedItems().isEmpty());
    EXPECT_EQ(readFile("Data/001.patt"), "pattern 1");
    EXPECT_FALSE(std::filesystem::exists("Data/002.patt"));
    // Nothing of the removed "C" stays in view.
    EXPECT_EQ(nameBox(), "");
    EXPECT_EQ(widthBox(), "0");
    EXPECT_TRUE(near(thumbnailColour(), cv::Vec3b(7, 7, 7))) << "the placeholder";
}

TEST_F(DialogCatalogue, RemovingEveryRowShowsThePlaceholder) {
    for (int i = 0; i < 3; ++i) {
        select(0);
        dialog.OnRemovePattern();
    }
    EXPECT_EQ(list->topLevelItemCount(), 0);
    EXPECT_TRUE(near(thumbnailColour(), cv::Vec3b(7, 7, 7)));
    EXPECT_EQ(nameBox(), "");
    EXPECT_EQ(widthBox(), "0");
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(std::filesystem::exists(patternFilePath(i)));
}

TEST_F(DialogCatalogue, RemoveAndUpdateWithoutSelectionChangeNothing) {
    list->clearSelection();
    dialog.OnRemovePattern();
    control<QLineEdit>(dialog, "1035")->setText("Z");
    control<QPushButton>(dialog, "1037")->click();
    EXPECT_EQ(list->topLevelItemCount(), 3);
    for (int i = 0; i < 3; ++i) EXPECT_NE(list->topLevelItem(i)->text(0), "Z");
    EXPECT_EQ(readFile("Data/000.patt"), "pattern 0");
}

TEST_F(DialogCatalogue, UpdateRenamesAndResizesTheSelectedRow) {
    select(1);
    control<QLineEdit>(dialog, "1035")->setText("Left");
    control<QLineEdit>(dialog, "1036")->setText("62.54");
    control<QPushButton>(dialog, "1037")->click();
    EXPECT_TRUE(dialog.messages.empty());
    EXPECT_EQ(list->topLevelItem(1)->text(0), "Left");
    EXPECT_EQ(list->topLevelItem(1)->text(1), "62.5");
    ASSERT_TRUE(dialog.OnCancelCommand());
    EXPECT_NE(readFile("Data/pattern_list.txt").find("[Pattern]\tLeft\tData/001.patt\t62.5\tnot_use\n"),
              std::string::npos);
}

TEST_F(DialogCatalogue, UpdateRefusesWhatTheFileCannotKeep) {
    select(1);
    for (const char* badName : {"", "two words", "tab\there", "Kite,2"}) {
        control<QLineEdit>(dialog, "1035")->setText(QString::fromLatin1(badName));
        control<QLineEdit>(dialog, "1036")->setText("50");
        control<QPushButton>(dialog, "1037")->click();
        ASSERT_FALSE(dialog.messages.empty()) << badName;
        EXPECT_TRUE(dialog.messages.back().text.contains("cannot be used")) << badName;
    }
    for (const char* badWidth : {"wide", "-3", "0"}) {
        control<QLineEdit>(dialog, "1035")->setText("Fine");
        control<QLineEdit>(dialog, "1036")->setText(QString::fromLatin1(badWidth));
        const size_t before = dialog.messages.size();
        control<QPushButton>(dialog, "1037")->click();
        EXPECT_EQ(dialog.messages.size(), before + 1) << badWidth;
    }
    EXPECT_EQ(list->topLevelItem(1)->text(0), "B");
    EXPECT_EQ(list->topLevelItem(1)->text(1), "40.0");
    EXPECT_TRUE(dialog.messages[3].text.contains("\"Kite,2\"")) << dialog.messages[3].text.toStdString();
    EXPECT_TRUE(dialog.messages[3].text.contains("comma")) << dialog.messages[3].text.toStdString();
}

TEST_F(DialogCatalogue, UpdateToANameInUseIsAcceptedWithAWarningNamingTheOther) {
    select(1);
    control<QLineEdit>(dialog, "1035")->setText("C");
    control<QPushButton>(dialog, "1037")->click();
    EXPECT_EQ(list->topLevelItem(1)->text(0), "C");
    ASSERT_EQ(dialog.messages.size(), 1u);
    EXPECT_TRUE(dialog.messages[0].text.contains("\"C\" is also the name of pattern 2 (Data/002.patt)"))
        << dialog.messages[0].text.toStdString();

    select(2);
    control<QPushButton>(dialog, "1037")->click();
    EXPECT_EQ(dialog.messages.size(), 2u) << "still shared, with row 1";
    EXPECT_TRUE(dialog.messages[1].text.contains("pattern 1 (Data/001.patt)")) << dialog.messages[1].text.toStdString();
}

} // namespace

TEST(DialogDamagedCatalogue, ANameWithACommaLoadsWithAMessageNamingItsLine) {
    ApplicationFirst application;
    TempDir dir;
    dir.enterWithData();
    writeFile("Data/pattern_list.txt", "[Pattern]\tA\tData/000.patt\t80\tuse\n\n[Pattern]\ta,b\tData/001.patt\t50\tuse\n");
    TestDialog dialog;
    dialog.OnInitDialog();
    auto* list = control<QTreeWidget>(dialog, "1028");
    ASSERT_EQ(list->topLevelItemCount(), 2);
    EXPECT_EQ(list->topLevelItem(1)->text(0), "a,b");
    ASSERT_EQ(dialog.messages.size(), 1u);
    EXPECT_TRUE(dialog.messages[0].text.contains("Data/pattern_list.txt line 3: the name \"a,b\""))
        << dialog.messages[0].text.toStdString();
}

TEST(DialogDamagedCatalogue, AnUnreadableEntryIsReportedAndTheFileKeptAtClose) {
    ApplicationFirst application;
    TempDir dir;
    dir.enterWithData();
    const std::string stored =
        "[Pattern]\tA\tData/000.patt\t80\tuse\n[Pattern]\tB\tData/001.patt\twide\tuse\n"
        "[Pattern]\tC\tData/002.patt\t50\tuse\n";
    writeFile("Data/pattern_list.txt", stored);
    TestDialog dialog;
    dialog.OnInitDialog();
    EXPECT_EQ(control<QTreeWidget>(dialog, "1028")->topLevelItemCount(), 1);
    ASSERT_FALSE(dialog.messages.empty());
    EXPECT_TRUE(dialog.messages[0].text.contains("Data/pattern_list.txt")) << dialog.messages[0].text.toStdString();

    dialog.show();
    dialog.close();
    EXPECT_EQ(readFile("Data/pattern_list.unread.txt"), stored);
    EXPECT_EQ(readFile("Data/pattern_list.txt"), "[Pattern]\tA\tData/000.patt\t80\tuse\n");
}
