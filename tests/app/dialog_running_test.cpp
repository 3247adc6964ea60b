// The dialog with its workers: the enable rules while the server runs and
// while a pattern is captured, the close refusals, the preview switch, and a
// captured pattern that the server then recognises by its new name.
#include <chrono>
#include <thread>
#include <gtest/gtest.h>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QRegularExpression>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTreeWidget>
#include <opencv2/highgui.hpp>
#include <opencv2/imgcodecs.hpp>
#include "detector_state.h"
#include "dialog_support.h"
#include "output_receivers.h"
#include "pattern.h"
#include "render.h"
#include "server_state.h"
#include "temp_dir.h"
#include "test_client.h"

namespace {

const char* const kSettingIds[] = {"1000", "1031", "1011", "1010", "1016", "1015", "1018", "1019",
                                   "1022", "1024", "1020", "1021", "1023", "1025", "1037"};
const char* const kReadOnlyIds[] = {"1003", "1035", "1036"};

class DialogWithWorkers : public ::testing::Test {
protected:
    void SetUp() override {
        ensureApplication();
        resetDetector();
        dir.enterWithData();
        camera = defaultCameraParam();
        ASSERT_EQ(saveCameraParam("Data/camera_para.dat", 1, &camera), 0);
        // A catalogue of three rows whose patterns are not in view, so a
        // capture of the marker in view becomes row 3.
        writeCatalogue({{"A", 80, true}, {"B", 80, true}, {"C", 80, true}});
        for (int i = 0; i < 3; ++i)
            ASSERT_EQ(writePatternImageFile(patternFilePath(i).c_str(), makeRandomPattern(100 + i)), 0);
        marker.pattern = makeRandomPattern(41);
        poseFromView(camera, 450.0, 15.0, 10.0, -25.0, 320, 240, marker.transform);
        cv::imwrite("frame.png", renderFrame(camera, {marker}, RenderSettings{}));
        writeFile("Data/config.txt", "[Port] 0\n[CheckName] 1\n[DefaultPatternWidth] 75\n");
        dialog.answerCamera("file:frame.png");
        dialog.OnInitDialog();
        list = control<QTreeWidget>(dialog, "1028");
    }
    void TearDown() override {
        dialog.OnStop();
        dialog.captureWorker().requestStop();
        waitUntil([&] { return !dialog.trackingExists() && !dialog.captureExists(); });
        resetDetector();
    }

    bool enabled(const char* id) { return control<QWidget>(dialog, id)->isEnabled(); }
    bool readOnly(const char* id) { return control<QLineEdit>(dialog, id)->isReadOnly(); }
    bool removeAvailable() {
        std::unique_ptr<QMenu> menu(dialog.createPatternMenu());
        return menu->actions()[0]->isEnabled();
    }
    void stopTracking() {
        dialog.OnStop();
        ASSERT_TRUE(waitUntil([&] { return !dialog.trackingExists(); }));
    }

    ApplicationFirst application;
    TempDir dir;
    CameraParam camera;
    PrintedMarker marker;
    TestDialog dialog;
    QTreeWidget* list = nullptr;
};

TEST_F(DialogWithWorkers, RunningGreysTheSettingsUntilTheWorkerHasShutDown) {
    dialog.OnStart();
    ASSERT_TRUE(dialog.trackingExists());
    for (const char* id : kSettingIds) EXPECT_FALSE(enabled(id)) << id;
    for (const char* id : kReadOnlyIds) EXPECT_TRUE(readOnly(id)) << id;
    for (const char* id : {"1001", "1028", "1039", "1041"}) EXPECT_TRUE(enabled(id)) << id;
    EXPECT_FALSE(removeAvailable());
    ASSERT_TRUE(waitUntil([&] { return dialog.outputText().rfind("Num= ", 0) == 0; }));

    stopTracking();
    for (const char* id : kSettingIds) EXPECT_TRUE(enabled(id)) << id;
    for (const char* id : kReadOnlyIds) EXPECT_FALSE(readOnly(id)) << id;
    EXPECT_TRUE(removeAvailable());
    EXPECT_TRUE(dialog.messages.empty());
}

TEST(RunningStatus, NamesThePortTheRateAndTheClients) {
    EXPECT_EQ(runningStatusText(0, 0.0, 0), "Starting: the camera warms up");
    EXPECT_EQ(runningStatusText(9950, 29.94, 0), "Listening on port 9950, 29.9 frames/s, 0 clients connected");
    EXPECT_EQ(runningStatusText(41234, 7.25, 1), "Listening on port 41234, 7.2 frames/s, 1 client connected");
    EXPECT_EQ(runningStatusText(80, 30.0, 12), "Listening on port 80, 30.0 frames/s, 12 clients connected");
}

TEST_F(DialogWithWorkers, TheStatusLineFollowsTheServerOutsideTheOutputText) {
    auto* status = control<QLabel>(dialog, "serverStatus");
    EXPECT_TRUE(status->text().isEmpty());
    dialog.OnStart();
    const QRegularExpression listening(QStringLiteral("^Listening on port (\\d+), (\\d+\\.\\d) frames/s, (\\d+) clients? connected$"));
    QRegularExpressionMatch match;
    ASSERT_TRUE(waitUntil([&] {
        match = listening.match(status->text());
        return match.hasMatch() && match.captured(2).toDouble() > 0.0;
    })) << status->text().toStdString();
    const int port = match.captured(1).toInt();
    EXPECT_NE(port, 0) << "the port the system picked for [Port] 0";
    EXPECT_EQ(port, dialog.serverPort());
    EXPECT_EQ(match.captured(3), "0");

    TestClient client(port);
    ASSERT_TRUE(client.connected());
    EXPECT_TRUE(waitUntil([&] { return status->text().endsWith(" 1 client connected"); })) << status->text().toStdString();
    EXPECT_EQ(dialog.outputText().find("Listening"), std::string::npos);

    stopTracking();
    EXPECT_TRUE(status->text().isEmpty());
}

TEST_F(DialogWithWorkers, TheDialogWillNotCloseWhileTheServerRuns) {
    dialog.show();
    dialog.OnStart();
    dialog.close();
    EXPECT_TRUE(dialog.isVisible());
    ASSERT_EQ(dialog.messages.size(), 1u);
    EXPECT_EQ(dialog.messages[0].caption, "Quillmark");
    EXPECT_EQ(dialog.messages[0].text, "Please stop server");
    EXPECT_EQ(readFile("Data/config.txt"), "[Port] 0\n[CheckName] 1\n[DefaultPatternWidth] 75\n") << "nothing saved";

    stopTracking();
    dialog.close();
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_NE(readFile("Data/config.txt").find("[CheckName]           1\n"), std::string::npos);
    EXPECT_NE(readFile("Data/pattern_list.txt").find("[Pattern]\tC\tData/002.patt\t80\tuse\n"), std::string::npos);
}

TEST_F(DialogWithWorkers, SubPixelCornersReachTheDetectorAtStartAndTheFileAtClose) {
    auto* refine = control<QCheckBox>(dialog, "CornerRefine");
    EXPECT_EQ(refine->text(), "Sub-pixel corners");
    EXPECT_FALSE(refine->isChecked()); // the file has no [CornerRefine]
    dialog.show();
    QTest::mouseClick(refine, Qt::LeftButton, {}, QPoint(8, refine->height() / 2));
    ASSERT_TRUE(refine->isChecked());
    dialog.OnStart();
    ASSERT_TRUE(dialog.trackingExists());
    EXPECT_FALSE(refine->isEnabled());
    ASSERT_TRUE(waitUntil([&] { return dialog.outputText().rfind("Num= ", 0) == 0; }));
    stopTracking();
    EXPECT_TRUE(refine->isEnabled());
    EXPECT_TRUE(detectorState().options.cornerRefine); // installed by the worker it started
    dialog.close();
    EXPECT_NE(readFile("Data/config.txt").find("[DefaultPatternWidth] 75\n[CornerRefine]        1\n"), std::string::npos);
}

bool previewShown() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->windowTitle() == "Preview" && w->isVisible()) return true;
    return false;
}

TEST_F(DialogWithWorkers, ThePreviewWindowFollowsItsCheckBox) {
    dialog.OnStart();
    auto* preview = control<QCheckBox>(dialog, "1039");
    ASSERT_TRUE(waitUntil([&] { return !dialog.outputText().empty(); }));
    EXPECT_FALSE(previewShown());
    preview->click();
    ASSERT_TRUE(waitUntil(previewShown));
    preview->click();
    ASSERT_TRUE(waitUntil([] { return !previewShown(); }));
    preview->click();
    ASSERT_TRUE(waitUntil(previewShown));
    stopTracking();
    EXPECT_FALSE(previewShown()) << "the worker's shutdown closes it";
    EXPECT_TRUE(preview->isChecked());
}

QWidget* previewWindow() {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->windowTitle() == "Preview" && w->isVisible()) return w;
    return nullptr;
}

TEST_F(DialogWithWorkers, ClosingThePreviewByHandUnchecksItsBoxAndTrackingGoesOn) {
    dialog.OnStart();
    auto* preview = control<QCheckBox>(dialog, "1039");
    preview->click();
    ASSERT_TRUE(waitUntil(previewShown));
    previewWindow()->close();
    ASSERT_TRUE(waitUntil([&] { return !preview->isChecked(); }));
    preview->click();
    EXPECT_TRUE(waitUntil(previewShown)) << "the worker still runs and opens the window again";
    stopTracking();
}

TEST_F(DialogWithWorkers, ClosingWhileAStoppedWorkerWindsDownClosesOnceItHasEnded) {
    dialog.show();
    dialog.OnStart();
    ASSERT_TRUE(waitUntil([&] { return !dialog.outputText().empty(); }));
    dialog.OnStop();
    dialog.close();
    ASSERT_TRUE(waitUntil([&] { return !dialog.isVisible(); }));
    EXPECT_TRUE(dialog.messages.empty()) << dialog.messages[0].text.toStdString();
    EXPECT_NE(readFile("Data/config.txt").find("[CheckName]           1\n"), std::string::npos) << "saved";

    dialog.show();
    dialog.OnPatternCapture();
    ASSERT_TRUE(waitUntil([&] { return dialog.captureWorker().frameCount() > 0; }));
    dialog.captureWorker().requestStop(); // as Escape in its window does
    dialog.close();
    ASSERT_TRUE(waitUntil([&] { return !dialog.isVisible(); }));
    EXPECT_TRUE(dialog.messages.empty());
    EXPECT_FALSE(dialog.captureExists());
}

TEST_F(DialogWithWorkers, CapturingGreysStartStopAndCaptureAndKeepsTheDialogOpen) {
    dialog.show();
    dialog.OnPatternCapture();
    ASSERT_TRUE(dialog.captureExists());
    for (const char* id : {"1000", "1001", "1031"}) EXPECT_FALSE(enabled(id)) << id;
    EXPECT_TRUE(enabled("1037"));
    EXPECT_TRUE(removeAvailable());
    dialog.close();
    EXPECT_TRUE(dialog.isVisible());
    ASSERT_EQ(dialog.messages.size(), 1u);
    EXPECT_EQ(dialog.messages[0].text, "Please close pattern capture");

    dialog.captureWorker().requestStop();
    ASSERT_TRUE(waitUntil([&] { return !dialog.captureExists(); }));
    for (const char* id : {"1000", "1001", "1031"}) EXPECT_TRUE(enabled(id)) << id;
}

TEST_F(DialogWithWorkers, ACapturedMarkerIsRecognisedUnderItsNewName) {
    dialog.OnPatternCapture();
    CaptureWorker& capture = dialog.captureWorker();
    ASSERT_TRUE(waitUntil([&] { return !capture.latestMarkers().empty(); }));
    const MarkerInfo seen = capture.latestMarkers().front();
    capture.mouse.onEvent(cv::EVENT_LBUTTONDOWN, static_cast<int>(seen.pos[0]), static_cast<int>(seen.pos[1]));
    ASSERT_TRUE(waitUntil([&] { return list->topLevelItemCount() == 4; }));
    const long after = capture.frameCount();
    ASSERT_TRUE(waitUntil([&] { return capture.frameCount() >= after + 3; }));
    EXPECT_EQ(list->topLevelItemCount(), 4) << "one row per press";
    const QTreeWidgetItem* row = list->topLevelItem(3);
    EXPECT_EQ(row->text(0), "P003");
    EXPECT_EQ(row->text(1), "75.0");
    EXPECT_EQ(row->checkState(0), Qt::Checked);
    EXPECT_TRUE(row->isSelected());
    EXPECT_EQ(dialog.thumbnail().size(), cv::Size(80, 80)) << "the new row's thumbnail is shown";
    EXPECT_TRUE(QFile::exists("Data/003.patt"));

    QWidget* window = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->windowTitle() == "Pattern Capture" && w->isVisible()) window = w;
    ASSERT_NE(window, nullptr);
    QTest::keyClick(window, Qt::Key_Escape);
    ASSERT_TRUE(waitUntil([&] { return !dialog.captureExists(); }));

    dialog.OnStart();
    ASSERT_TRUE(waitUntil([&] { return dialog.outputText().rfind("Num= 1\r\nP003", 0) == 0; }))
        << dialog.outputText();
    stopTracking();
}

// The latest frame's number and how many markers it holds.
std::pair<uint64_t, size_t> latestFrame() {
    std::lock_guard<std::mutex> lock(ResultTableLock);
    return {LatestStamp.frame, LatestResults.size()};
}

// Waits without serving this thread's events, as a busy GUI thread does.
bool frameReachedWithoutEvents(uint64_t frame) {
    for (int i = 0; i < 20000 && latestFrame().first < frame; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return latestFrame().first >= frame;
}

TEST_F(DialogWithWorkers, TrackingGoesOnWhileTheGuiThreadIsBusyAndASwitchAppliesAtTheNextFrame) {
    ASSERT_EQ(writePatternImageFile(patternFilePath(0).c_str(), marker.pattern), 0); // row A is in view
    dialog.OnStart();
    ASSERT_TRUE(waitUntil([&] { return dialog.outputText().rfind("Num= 1\r\nA", 0) == 0; })) << dialog.outputText();
    ASSERT_TRUE(frameReachedWithoutEvents(latestFrame().first + 3));
    for (const bool inUse : {false, true}) {
        list->topLevelItem(0)->setCheckState(0, inUse ? Qt::Checked : Qt::Unchecked);
        // The frame after the next one has read the switch after it changed.
        ASSERT_TRUE(frameReachedWithoutEvents(latestFrame().first + 2));
        EXPECT_EQ(latestFrame().second, inUse ? 1u : 0u);
    }
    stopTracking();
}

} // namespace

TEST_F(DialogWithWorkers, OutputTargetsAreCheckedAtStartGreyedWhileRunningAndSavedAtClose) {
    auto* tuio = control<QLineEdit>(dialog, "1071");
    auto* mqtt = control<QLineEdit>(dialog, "1072");
    EXPECT_TRUE(tuio->text().isEmpty() && mqtt->text().isEmpty()) << "both off in a file without their keys";
    mqtt->setText(QStringLiteral("127.0.0.1/lab/+"));
    dialog.OnStart();
    EXPECT_FALSE(dialog.trackingExists());
    ASSERT_EQ(dialog.messages.size(), 1u);
    EXPECT_TRUE(dialog.messages[0].text.startsWith(QStringLiteral("MQTT: "))) << dialog.messages[0].text.toStdString();

    // A host name is looked up by the worker, never by the GUI thread.
    mqtt->clear();
    tuio->setText(QStringLiteral("no-such-host.invalid"));
    dialog.OnStart();
    EXPECT_TRUE(dialog.trackingExists() && dialog.messages.size() == 1u);
    ASSERT_TRUE(waitUntil([&] { return !dialog.trackingExists(); }));
    ASSERT_EQ(dialog.messages.size(), 2u);
    EXPECT_TRUE(dialog.messages[1].text.startsWith(QStringLiteral("TUIO: the host \"no-such-host.invalid\" does not resolve")))
        << dialog.messages[1].text.toStdString();

    const int port = freeLoopbackPort(true);
    OscReceiver receiver(port);
    tuio->setText(QStringLiteral("127.0.0.1:%1").arg(port));
    dialog.OnStart();
    ASSERT_TRUE(dialog.trackingExists());
    EXPECT_FALSE(tuio->isEnabled());
    EXPECT_FALSE(mqtt->isEnabled());
    EXPECT_TRUE(waitUntil([&] { return fseqNumbers(receiver.messages(), "/tuio/2Dobj").size() >= 3; }));
    stopTracking();
    EXPECT_TRUE(tuio->isEnabled());
    ASSERT_TRUE(dialog.OnCancelCommand());
    const std::string saved = readFile("Data/config.txt");
    EXPECT_NE(saved.find("[TuioHost]            127.0.0.1\n[TuioPort]            " + std::to_string(port) +
                         "\n[MqttHost]            -\n"),
              std::string::npos)
        << saved;
}

TEST_F(DialogWithWorkers, ThePageRowServesThePageWhileTheServerRuns) {
    const int port = freeLoopbackPort();
    control<QLineEdit>(dialog, "1073")->setText(QStringLiteral("127.0.0.1:%1").arg(port));
    control<QCheckBox>(dialog, "1074")->setChecked(true);
    dialog.OnStart();
    ASSERT_TRUE(dialog.trackingExists());
    std::string status;
    EXPECT_TRUE(waitUntil([&] {
        TestClient page(port);
        if (!page.connected()) return false;
        page.sendText("GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n");
        return page.readLine(status) && status.rfind("HTTP/1.1 200", 0) == 0;
    })) << status;
    const std::string address = "page http://127.0.0.1:" + std::to_string(port) + "/";
    auto* line = control<QLabel>(dialog, "serverStatus");
    EXPECT_TRUE(waitUntil([&] { return line->text().toStdString().find(address) != std::string::npos; }))
        << line->text().toStdString();
    stopTracking();
    EXPECT_FALSE(TestClient(port).connected()) << "the page stops with the server";
}
