// The dialog at rest: its controls, the keys it swallows, the legend, the
// About box, the camera choice and the close path's files.
#include <gtest/gtest.h>
#include <filesystem>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QScrollBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include "camera_chooser.h"
#include "dialog_support.h"
#include "render.h"
#include "server_state.h"
#include "temp_dir.h"

namespace {

class DialogAtRest : public ::testing::Test {
protected:
    void SetUp() override {
        ensureApplication();
        dir.enterWithData();
    }
    TempDir dir;
};

TEST_F(DialogAtRest, EveryControlCarriesItsIdAndCaption) {
    TestDialog dialog;
    const std::vector<std::pair<const char*, const char*>> buttons = {
        {"1000", "Start"}, {"1001", "Stop"}, {"1031", "Pattern Capture"}, {"1037", "Update"},
        {"1016", "Automatic Mode"}, {"1015", "Command Mode"}, {"1018", "Name"},
        {"1019", "Position in image (px, py)"}, {"1022", "Direction vector (dx, dy)"},
        {"1024", "Position in 3D space (X, Y, Z)"}, {"1020", "Area in image"},
        {"1021", "Confidence value (0.0 - 1.0)"}, {"1023", "Vertices in image (vx, vy)  x 4"},
        {"1025", "OpenGL modelview matrix M[16]"}, {"1039", "Show preview window"}};
    for (const auto& [id, caption] : buttons)
        EXPECT_EQ(control<QAbstractButton>(dialog, id)->text(), QString::fromLatin1(caption)) << id;
    for (const char* id : {"1003", "1035", "1036", "1042"}) control<QLineEdit>(dialog, id);
    for (const char* id : {"1027", "1041"}) EXPECT_TRUE(control<QPlainTextEdit>(dialog, id)->isReadOnly());
    for (const char* id : {"1010", "1011"}) control<QComboBox>(dialog, id);
    control<QLabel>(dialog, "1034");
    auto* list = control<QTreeWidget>(dialog, "1028");
    EXPECT_EQ(list->headerItem()->text(0), "Name");
    EXPECT_EQ(list->headerItem()->text(1), "Width [mm]");
    EXPECT_EQ(dialog.windowTitle(), "Quillmark");
}

TEST_F(DialogAtRest, SettingsFromTheFileReachTheControls) {
    writeFile("Data/config.txt",
              "[Port] 5000\n[MaxCameraNum] 3\n[CameraSelected] 2\n[ImageSizeList] 640 480\n"
              "[ImageSizeList] 1280 720\n[ImageSizeSelected] 1\n[DataFlow] 1\n[CheckName] 1\n[CheckPreview] 1\n"
              "[Threshold] 300\n");
    TestDialog dialog;
    dialog.OnInitDialog();
    // A refused value costs that key alone, and the operator is told once.
    ASSERT_EQ(dialog.messages.size(), 1u);
    EXPECT_TRUE(dialog.messages[0].text.startsWith("Data/config.txt: [Threshold] 300 is refused"))
        << dialog.messages[0].text.toStdString();
    EXPECT_EQ(control<QLineEdit>(dialog, "1003")->text(), "5000");
    auto* camera = control<QComboBox>(dialog, "1011");
    EXPECT_EQ(camera->count(), 3);
    EXPECT_EQ(camera->currentText(), "2");
    auto* size = control<QComboBox>(dialog, "1010");
    EXPECT_EQ(size->itemText(0), "640x480");
    EXPECT_EQ(size->currentText(), "1280x720");
    EXPECT_TRUE(control<QRadioButton>(dialog, "1015")->isChecked());
    EXPECT_TRUE(control<QCheckBox>(dialog, "1018")->isChecked());
    EXPECT_TRUE(control<QCheckBox>(dialog, "1039")->isChecked());
}

TEST_F(DialogAtRest, EnterAndEscapeNeitherCloseNorPress) {
    TestDialog dialog;
    dialog.answerCamera("");
    dialog.OnInitDialog();
    dialog.show();
    auto* start = control<QPushButton>(dialog, "1000");
    start->setFocus();
    for (QWidget* target : std::initializer_list<QWidget*>{start, control<QLineEdit>(dialog, "1003"), &dialog}) {
        QTest::keyClick(target, Qt::Key_Return);
        QTest::keyClick(target, Qt::Key_Enter);
        QTest::keyClick(target, Qt::Key_Escape);
    }
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_EQ(dialog.chooserCalls, 0);
    EXPECT_TRUE(dialog.messages.empty());
    EXPECT_FALSE(QFile::exists("Data/config.txt")) << "nothing closed the dialog";
}

TEST_F(DialogAtRest, TogglingAFieldRewritesTheLegend) {
    TestDialog dialog;
    dialog.OnInitDialog();
    EXPECT_EQ(dialog.legendText(), "Num= <count>\r\n");
    auto* name = control<QCheckBox>(dialog, "1018");
    auto* pos2d = control<QCheckBox>(dialog, "1019");
    name->click();
    EXPECT_EQ(dialog.legendText(), "Num= <count>\r\n<name>");
    pos2d->click();
    EXPECT_EQ(dialog.legendText(), "Num= <count>\r\n<name>,<px>,<py>");
    EXPECT_EQ(activeDataFormat().CheckPos2d, 1);
    name->click();
    pos2d->click();
    EXPECT_EQ(dialog.legendText(), "Num= <count>\r\n");
    EXPECT_EQ(control<QPlainTextEdit>(dialog, "1027")->toPlainText(), "Num= <count>\n");
}

TEST_F(DialogAtRest, AnEmptyCatalogueShowsThePlaceholder) {
    writeSolidImage("Data/no_pattern.bmp", cv::Scalar(10, 20, 30));
    TestDialog dialog;
    dialog.OnInitDialog();
    ASSERT_FALSE(dialog.thumbnail().empty());
    EXPECT_EQ(dialog.thumbnail().at<cv::Vec3b>(0, 0), cv::Vec3b(10, 20, 30));
    EXPECT_FALSE(control<QLabel>(dialog, "1034")->pixmap(Qt::ReturnByValue).isNull());
    EXPECT_EQ(control<QLineEdit>(dialog, "1035")->text(), "");
    EXPECT_EQ(control<QLineEdit>(dialog, "1036")->text(), "0");
}

TEST_F(DialogAtRest, ALargeThumbnailIsShownUnscaled) {
    writeCatalogue({{"A", 80, true}});
    writeSolidImage("Data/000.jpg", cv::Scalar(0, 0, 255), 400);
    TestDialog dialog;
    dialog.OnInitDialog();
    const QPixmap shown = control<QLabel>(dialog, "1034")->pixmap(Qt::ReturnByValue);
    EXPECT_EQ(shown.size(), QSize(400, 400));
}

TEST_F(DialogAtRest, ACancelledCameraChoiceStartsNothing) {
    const CameraParam camera = defaultCameraParam();
    ASSERT_EQ(saveCameraParam("Data/camera_para.dat", 1, &camera), 0);
    TestDialog dialog;
    dialog.answerCamera("");
    dialog.OnInitDialog();
    dialog.OnStart();
    ASSERT_EQ(dialog.messages.size(), 1u);
    EXPECT_EQ(dialog.messages[0].caption, "Error");
    EXPECT_EQ(dialog.messages[0].text, "Camera could not be connected.\r\nAnother software probably uses it.");
    EXPECT_FALSE(dialog.trackingExists());
    EXPECT_TRUE(control<QPushButton>(dialog, "1000")->isEnabled());
    EXPECT_TRUE(control<QCheckBox>(dialog, "1018")->isEnabled());
}

// Missing, short of one record, or with zero focal lengths that would find
// nothing: Start and Pattern Capture refuse before the camera opens.
TEST_F(DialogAtRest, WithoutUsableCameraParametersStartAndCaptureAreRefusedBeforeTheCameraOpens) {
    CameraParam zeroFocal = defaultCameraParam();
    zeroFocal.projection[0][0] = zeroFocal.projection[1][1] = 0.0;
    for (bool capture : {false, true})
        for (const char* record : {"missing", "short", "zero focal"}) {
            SCOPED_TRACE(std::string(capture ? "capture, " : "start, ") + record);
            std::filesystem::remove("Data/camera_para.dat");
            if (record[0] == 's') writeFile("Data/camera_para.dat", std::string(100, '\0'));
            if (record[0] == 'z') {
                ASSERT_EQ(saveCameraParam("Data/camera_para.dat", 1, &zeroFocal), 0);
            }
            TestDialog dialog;
            dialog.answerCamera("");
            dialog.OnInitDialog();
            capture ? dialog.OnPatternCapture() : dialog.OnStart();
            EXPECT_EQ(dialog.chooserCalls, 0);
            ASSERT_EQ(dialog.messages.size(), 1u);
            EXPECT_TRUE(dialog.messages[0].text.contains("Data/camera_para.dat"));
            EXPECT_EQ(dialog.messages[0].text.contains("focal"), record[0] == 'z');
            EXPECT_FALSE(dialog.captureExists() || dialog.trackingExists());
            EXPECT_TRUE(control<QPushButton>(dialog, "1031")->isEnabled());
            EXPECT_TRUE(control<QCheckBox>(dialog, "1018")->isEnabled());
        }
}

TEST_F(DialogAtRest, ANormalCloseWritesCatalogueAndSettings) {
    writeCatalogue({{"A", 80, true}, {"B", 62.5, false}});
    TestDialog dialog;
    dialog.OnInitDialog();
    control<QLineEdit>(dialog, "1003")->setText("5001");
    control<QRadioButton>(dialog, "1015")->setChecked(true);
    dialog.findChild<QTreeWidget*>("1028")->topLevelItem(0)->setCheckState(0, Qt::Unchecked);
    dialog.show();
    EXPECT_TRUE(dialog.close() || !dialog.isVisible());
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(readFile("Data/pattern_list.txt"),
              "[Pattern]\tA\tData/000.patt\t80\tnot_use\n[Pattern]\tB\tData/001.patt\t62.5\tnot_use\n");
    const std::string config = readFile("Data/config.txt");
    EXPECT_NE(config.find("[Port]                5001\n"), std::string::npos) << config;
    EXPECT_NE(config.find("[DataFlow]            1\n"), std::string::npos) << config;
    EXPECT_TRUE(dialog.messages.empty());
}

TEST_F(DialogAtRest, TheThresholdControlsReadAndWriteTheirKeys) {
    writeFile("Data/config.txt", "[Port] 5000\n[Threshold] 80\n");
    TestDialog dialog;
    dialog.OnInitDialog();
    auto* threshold = control<QSpinBox>(dialog, "threshold");
    auto* automatic = control<QCheckBox>(dialog, "autoThreshold");
    EXPECT_EQ(threshold->value(), 80);
    EXPECT_FALSE(automatic->isChecked());
    EXPECT_TRUE(threshold->isEnabled());
    EXPECT_EQ(automatic->text(), "Automatic");
    automatic->setChecked(true);
    EXPECT_FALSE(threshold->isEnabled()) << "the automatic threshold has no number";
    dialog.show();
    dialog.close();
    const std::string config = readFile("Data/config.txt");
    EXPECT_NE(config.find("[Threshold]           80\n[AutoThreshold]       1\n"), std::string::npos) << config;
    EXPECT_EQ(config.find("[MaxSquares]"), std::string::npos) << "defaults are not written";
}

TEST_F(DialogAtRest, TheRealCameraAndPageControlsReadAndWriteTheirKeys) {
    struct Case {
        const char* file;
        bool realCamera, serve;
        const char* address;      // shown, then typed over when not null
        const char* typed;
        const char* written;      // the opt-in lines at close
    };
    const Case cases[] = {
        {"[Port] 5000\n", false, false, "", nullptr, ""},
        {"[Port] 5000\n[RealCamera] 1\n[HttpPort] 8080\n", true, true, "127.0.0.1:8080", "0.0.0.0:9090",
         "[RealCamera]          1\n[HttpHost]            0.0.0.0\n[HttpPort]            9090\n"},
    };
    for (const Case& c : cases) {
        writeFile("Data/config.txt", c.file);
        TestDialog dialog;
        dialog.OnInitDialog();
        auto* realCamera = control<QCheckBox>(dialog, "RealCamera");
        auto* address = control<QLineEdit>(dialog, "1073");
        auto* serve = control<QCheckBox>(dialog, "1074");
        EXPECT_EQ(realCamera->isChecked(), c.realCamera) << c.file;
        EXPECT_EQ(serve->isChecked(), c.serve) << c.file;
        EXPECT_EQ(address->text().toStdString(), c.address) << c.file;
        // "Real camera" chooses the threshold and the corners itself: their boxes are greyed
        // while it is ticked, and come back when it is not.
        for (bool ticked : {c.realCamera, !c.realCamera}) {
            realCamera->setChecked(ticked);
            for (const char* implied : {"threshold", "autoThreshold", "CornerRefine"})
                EXPECT_EQ(control<QWidget>(dialog, implied)->isEnabled(), !ticked) << implied << " " << c.file;
        }
        realCamera->setChecked(c.realCamera);
        if (c.typed) address->setText(QString::fromLatin1(c.typed));
        dialog.show();
        dialog.close();
        const std::string config = readFile("Data/config.txt");
        const size_t optIns = config.find('\n', config.find("[DefaultPatternWidth]")) + 1;
        EXPECT_EQ(config.substr(optIns), c.written) << config;
    }
}

TEST_F(DialogAtRest, AnUnwritableDataFolderIsReportedAtClose) {
    std::filesystem::remove_all("Data");
    writeFile("Data", "a file where the folder should be");
    TestDialog dialog;
    dialog.OnInitDialog();
    EXPECT_TRUE(dialog.OnCancelCommand());
    ASSERT_EQ(dialog.messages.size(), 2u);
    EXPECT_TRUE(dialog.messages[0].text.contains("Data/pattern_list.txt"));
    EXPECT_TRUE(dialog.messages[1].text.contains("Data/config.txt"));
}

TEST_F(DialogAtRest, TheAboutBoxNamesTheVersion) {
    TestDialog dialog;
    dialog.OnInitDialog();
    QString title, text;
    QTimer::singleShot(0, [&] {
        QWidget* about = QApplication::activeModalWidget();
        ASSERT_NE(about, nullptr);
        title = about->windowTitle();
        for (QLabel* label : about->findChildren<QLabel*>())
            if (!label->text().isEmpty()) text = label->text();
        control<QPushButton>(*about, "1")->click();
    });
    dialog.OnSysCommand(IDM_ABOUTBOX);
    EXPECT_EQ(title, QString::fromUtf8("バージョン情報 Quillmark"));
    EXPECT_EQ(text, "Quillmark, Version 1.0");
}

} // namespace

namespace {

TEST(LocalAddress, TheFirstAddressAClientCanReachLoopbackOnlyWhenAlone) {
    const InterfaceAddress lo{"127.0.0.1", true, true};
    const InterfaceAddress down{"10.0.0.7", false, false};
    const InterfaceAddress eth{"192.168.1.20", true, false};
    const InterfaceAddress wlan{"172.16.4.2", true, false};
    const std::vector<std::pair<std::vector<InterfaceAddress>, std::string>> cases = {
        {{lo, eth, wlan}, "192.168.1.20"},
        {{lo, wlan, eth}, "172.16.4.2"},
        {{lo, down, eth}, "192.168.1.20"},
        {{down, lo}, "127.0.0.1"},
        {{lo}, "127.0.0.1"},
        {{down}, ""},
        {{}, ""},
    };
    for (const auto& [addresses, expected] : cases) EXPECT_EQ(chooseLocalAddress(addresses), expected);
}

TEST_F(DialogAtRest, OptionRowsGrowTheWindowBelowEverythingElse) {
    TestDialog dialog;
    const int before = dialog.height();
    auto* first = new QCheckBox(QStringLiteral("First option"));
    auto* second = new QCheckBox(QStringLiteral("Second option"));
    dialog.addOptionRow(first);
    dialog.addOptionRow(second);
    dialog.show();
    QApplication::processEvents();
    EXPECT_GE(dialog.height(), before + first->height() + second->height());
    const QWidget* status = control<QWidget>(dialog, "serverStatus");
    const QRect firstRect(first->mapTo(&dialog, QPoint(0, 0)), first->size());
    const QRect secondRect(second->mapTo(&dialog, QPoint(0, 0)), second->size());
    EXPECT_GE(firstRect.top(), status->geometry().bottom());
    EXPECT_GT(secondRect.top(), firstRect.top());
    EXPECT_LE(secondRect.bottom(), dialog.height());
    EXPECT_TRUE(first->isVisible() && second->isVisible());
}

TEST_F(DialogAtRest, TheIpBoxShowsTheHostsAddress) {
    TestDialog dialog;
    dialog.OnInitDialog();
    std::string address;
    GetLocalAddress(address);
    EXPECT_EQ(control<QLineEdit>(dialog, "1042")->text().toStdString(), address);
    EXPECT_FALSE(address.empty()) << "every host has at least a loopback address";
}

TEST(CameraChooser, StartsAtThePresetAndAnswersTheChosenSpec) {
    ensureApplication();
    const std::vector<CameraSource> sources = {{"synthetic", "built in"}, {"v4l2:0", "webcam"}, {"aravis:Fake_1", "fake"}};
    EXPECT_EQ(CCameraChooserDlg(sources, 1, nullptr).chosenSpec(), "v4l2:0");
    EXPECT_EQ(CCameraChooserDlg(sources, 7, nullptr).chosenSpec(), "synthetic") << "a preset beyond the list";
    EXPECT_EQ(CCameraChooserDlg({}, 0, nullptr).chosenSpec(), "") << "nothing to choose";
}

TEST(CameraChooser, EveryDescriptionIsReadableAtTheDefaultSize) {
    ensureApplication();
    const std::vector<CameraSource> sources = {
        {"synthetic", "Built-in synthetic camera: the catalogue's markers in motion"},
        {"v4l2:0", "UVC Camera (046d:0825) with a rather long product name, /dev/video0"},
        {"aravis:Fake_1", "Aravis-Fake-GV01 (Aravis Fake camera)"}};
    CCameraChooserDlg chooser(sources, 0, nullptr);
    chooser.show();
    auto* list = control<QListWidget>(chooser, "sources");
    QApplication::processEvents();
    for (int row = 0; row < list->count(); ++row) {
        const QRect item = list->visualItemRect(list->item(row));
        const int textWidth = list->fontMetrics().horizontalAdvance(list->item(row)->text());
        EXPECT_TRUE(list->viewport()->rect().contains(item)) << row << " is in view";
        EXPECT_LE(textWidth, list->viewport()->width()) << list->item(row)->text().toStdString();
    }
    EXPECT_FALSE(list->horizontalScrollBar()->isVisible());
}

TEST(CameraChooser, EnterAcceptsThePresetSource) {
    ensureApplication();
    const std::vector<CameraSource> sources = {{"synthetic", "built in"}, {"v4l2:0", "webcam"}};
    CCameraChooserDlg chooser(sources, 1, nullptr);
    QTimer::singleShot(0, [&] { QTest::keyClick(control<QListWidget>(chooser, "sources"), Qt::Key_Return); });
    EXPECT_EQ(chooser.exec(), QDialog::Accepted);
    EXPECT_EQ(chooser.chosenSpec(), "v4l2:0");
}

TEST(CameraChooser, CancellingChoosesNothing) {
    ensureApplication();
    QTimer::singleShot(0, [] {
        if (QWidget* chooser = QApplication::activeModalWidget()) static_cast<QDialog*>(chooser)->reject();
    });
    EXPECT_EQ(chooseCameraSource(nullptr, 0), "");
}

} // namespace

TEST_F(DialogAtRest, TheStampBoxFollowsTheFileShowsInTheLegendAndIsSaved) {
    writeFile("Data/config.txt", "[CheckName] 1\n[CheckStamp] 1\n");
    TestDialog dialog;
    dialog.OnInitDialog();
    auto* stamp = control<QCheckBox>(dialog, "checkStamp");
    EXPECT_EQ(stamp->text(), "Frame number and capture time");
    EXPECT_TRUE(stamp->isChecked());
    EXPECT_EQ(dialog.legendText(), "Stamp= <frame> <time>\r\nNum= <count>\r\n<name>");
    EXPECT_EQ(activeDataFormat().CheckStamp, 1);
    // Under the eight field boxes and above the legend, overlapping neither
    // beyond the pixel that rounding dialog units may give.
    const QRect box = stamp->geometry().adjusted(0, 1, 0, -1);
    EXPECT_GE(stamp->height(), stamp->sizeHint().height());
    for (const char* id : {"1018", "1019", "1022", "1024", "1020", "1021", "1023", "1025", "1027"})
        EXPECT_FALSE(box.intersects(control<QWidget>(dialog, id)->geometry())) << id;
    stamp->click();
    EXPECT_EQ(dialog.legendText(), "Num= <count>\r\n<name>");
    EXPECT_EQ(activeDataFormat().CheckStamp, 0);
    EXPECT_TRUE(dialog.OnCancelCommand());
    const std::string config = readFile("Data/config.txt");
    EXPECT_EQ(config.find("[CheckStamp]"), std::string::npos) << "off is the default: no line " << config;
}
