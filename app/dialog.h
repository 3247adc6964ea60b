#pragma once
// The operator's window: every setting, the pattern catalogue (its list is
// the catalogue while the program runs), Start and Stop of the tracking
// worker, and Pattern Capture.
//
// Every control with an id carries that id in decimal as its object name
// ("1000" is Start, "1028" the pattern list), so tests and tools find it with
// findChild<...>("1000"). The About box's OK button is "1".
//
// The workers reach the controls only through the TrackingHost and
// CaptureHost calls below, which hop to the GUI thread: writes are queued,
// and what the tracking worker reads every frame (the preview and pattern
// switches) is handed over as a snapshot, so tracking never waits for this
// thread. The GUI thread never waits for a worker; closing is refused while
// one exists.
//
// The class lives in rooms: dialog.cpp (start-up, data exchange, Start,
// Stop, Pattern Capture, enable rules, close), dialog_layout.cpp (the
// controls and their places, the About box), dialog_catalogue.cpp (the
// pattern list's rows and their numbered files), dialog_workers.cpp (the
// worker side), and option_rows.* (the rows below the specified controls).
#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>
#include <QDialog>
#include <QIcon>
#include <QMessageBox>
#include <opencv2/core.hpp>
#include "camera.h"
#include "capture_worker.h"
#include "catalogue.h"
#include "config.h"
#include "frame_window.h"
#include "local_address.h"
#include "option_rows.h"
#include "server_host.h"
#include "report.h"
#include "running_status.h"
#include "tracking_worker.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QTimer;
class QTreeWidget;
class QVBoxLayout;

// The system-menu command of the About entry.
constexpr unsigned IDM_ABOUTBOX = 16;

class CAboutDlg : public QDialog {
public:
    explicit CAboutDlg(QWidget* parent);
};

class CQuillmarkDlg : public QDialog, public ServingTrackingHost, public CaptureHost {
public:
    explicit CQuillmarkDlg(QWidget* parent = nullptr);
    ~CQuillmarkDlg() override;

    // Reads the files and fills the controls; called once before showing.
    void OnInitDialog();

    // Button and list handlers.
    void OnStart();
    void OnStop();
    void OnPatternCapture();
    void OnDataFormatCheck();
    void OnPatternListItemChanged(int row);
    void OnPatternListRightClick(const QPoint& position);
    void OnRemovePattern();
    void OnUpdatePattern();
    void OnSysCommand(unsigned command);
    // The close box: refuses while a worker runs, otherwise saves the
    // catalogue, then the settings, and closes. True when it closed. While
    // a worker that was told to end still shuts down, the close follows
    // once it has.
    bool OnCancelCommand();

    // Appends a catalogue row, checked when in use, and selects it. 0 on success.
    int AddPatternRow(const PatternEntry& entry);
    std::vector<PatternRow> patternRows() const;

    void EnableSettingControls();
    void DisableSettingControls();
    void enableSettingControls(bool enabled);

    // Adds a row of options below the specified controls; the window grows
    // by the row's height. Call while creating the controls. An OptionRow
    // also takes part in the data exchange and the enable rules.
    void addOptionRow(QWidget* row);
    void addOptionRow(OptionRow* row);

    // The context menu of the pattern list ("Remove this pattern"); the
    // caller owns it.
    QMenu* createPatternMenu();

    // Where the camera choice comes from; the modal chooser by default.
    void setCameraChooser(CameraChooser chooser) { chooser_ = std::move(chooser); }

    const Settings& settings() const { return settings_; }
    // The texts of the legend and Output boxes, "\r\n" line ends as produced.
    const std::string& legendText() const { return legendText_; }
    const std::string& outputText() const { return outputText_; }
    // The thumbnail now shown; empty when none.
    const cv::Mat& thumbnail() const { return thumbnail_; }
    bool trackingExists() const { return tracking_.exists(); }
    bool captureExists() const { return capture_.exists(); }
    CaptureWorker& captureWorker() { return capture_; }
    int serverPort() const { return port(); }

    // TrackingHost and CaptureHost: called on the worker threads.
    bool previewChecked() override;
    bool showPreview(const cv::Mat& bgra) override;
    void closePreview() override;
    void uncheckPreview() override;
    PatternSwitches::Snapshot patternSwitches() override;
    int patternRowCount() override;
    void setOutputText(const std::string& text) override;
    void reportProblem(const std::string& message) override;
    void trackingEnded() override;
    int addPatternRow(const PatternEntry& entry) override;
    void captureEnded() override;

protected:
    // Every operator message goes through here; tests capture the texts.
    virtual void messageBox(const QString& caption, const QString& text, QMessageBox::Icon icon);

    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void reject() override;

private:
    void createControls();
    void createStampControl();
    // Moves values between the members and the controls. Taking them from
    // the controls fails (with a message when `report`) on a port or width
    // that is not a number; the members keep their previous values then.
    bool UpdateData(bool fromControls, bool report = true);
    void UpdateDataFormat();
    // The report field check boxes and the switch each one sets.
    std::vector<std::pair<QCheckBox*, int32_t DataFormat::*>> formatBoxes() const;
    void loadCatalogue();
    void saveCatalogue();
    void DrawThumbnail();
    void showPlaceholderThumbnail();
    bool openCamera();
    bool readCameraParam(CameraParam& record);
    int selectedRow() const;
    void selectRow(int row);
    void setStartButtons(bool enabled);
    // The status line under the Output box: follows the server while it runs.
    void createStatusLine();
    void showRunningStatus();
    // Waits, serving events, until the workers are gone (only at destruction).
    void finishWorkers();
    // The last call of a worker's end: a close asked for meanwhile goes ahead.
    void closeIfAskedWhileEnding();
    // The capture window's close box hides it at once; its worker only
    // notices at the end of the frame it is processing.
    bool captureWindowClosed() const;

    // The rows below the specified controls (option_rows.h); add new ones here.
    void createOptionRows();
    void enableOptionRows(bool enabled, bool forCapture);
    // Each row's apply(); false, with a message when `report`, at the first that fails.
    bool applyOptionRows(bool report);
    std::vector<OptionRow*> optionRowList_;
    // What the tracking worker reads every frame, replaced on this thread
    // whenever a switch or a row changes.
    void publishPatternSwitches();
    PatternSwitches patternSwitches_;
    std::atomic<bool> previewWanted_{false};

    Settings settings_;
    QString nameText_;
    double widthMm_ = 0.0;
    std::string legendText_;
    std::string outputText_;
    cv::Mat thumbnail_; // 8-bit BGR, owned here
    CameraState camera_;
    Catalogue catalogue_; // the one built at Start
    bool catalogueReadWhole_ = true;
    bool closeWhenWorkersEnd_ = false;
    CameraChooser chooser_;
    TrackingWorker tracking_;
    CaptureWorker capture_;

    QPushButton* start_ = nullptr;
    QPushButton* stop_ = nullptr;
    QLineEdit* port_ = nullptr;
    QRadioButton* automaticMode_ = nullptr;
    QRadioButton* commandMode_ = nullptr;
    QButtonGroup* modeGroup_ = nullptr;
    QComboBox* imageSize_ = nullptr;
    QComboBox* cameraId_ = nullptr;
    // The report fields' check boxes, in the order of REPORT_FIELDS.
    std::array<QCheckBox*, REPORT_FIELD_COUNT> fieldBoxes_{};
    QPlainTextEdit* legend_ = nullptr;
    // Opt-in beyond the eight fields: "Frame number and capture time".
    QCheckBox* checkStamp_ = nullptr;
    QTreeWidget* patternList_ = nullptr;
    QPushButton* patternCapture_ = nullptr;
    QLabel* thumbnailView_ = nullptr;
    QLineEdit* name_ = nullptr;
    QLineEdit* width_ = nullptr;
    QPushButton* update_ = nullptr;
    QCheckBox* preview_ = nullptr;
    // The "Preview" window; created, used and dropped by the tracking worker only.
    std::unique_ptr<FrameDisplay> previewDisplay_;
    QPlainTextEdit* output_ = nullptr;
    QLineEdit* ip_ = nullptr;

    QLabel* status_ = nullptr;
    QTimer* statusTimer_ = nullptr;
    FrameRateMeter frameRate_;
    // "http://HOST:PORT/" of the page while it is served, for the status line.
    QString pageAddress_;
    // Option rows below the specified controls, and the window's height without them.
    QWidget* options_ = nullptr;
    QVBoxLayout* optionRows_ = nullptr;
    int baseHeight_ = 0;
};

// The application's own icon: a small square marker.
QIcon quillmarkIcon();
