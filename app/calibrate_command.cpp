// quillmark calibrate: Data/camera_para.dat from views of a printed
// chessboard (image files or a live source), or converted from an OpenCV or
// ROS calibration file. Nothing is written unless the calibration succeeded,
// and a file already there is kept as a numbered backup.
#include <signal.h>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include "calibration.h"
#include "calibration_import.h"
#include "camera.h"
#include "command_line.h"
#include "marker_print.h"

namespace {

constexpr int kDefaultLiveViews = 20;
// A live view is kept only when its corners lie on average this share of
// the frame diagonal away from those of every view already kept.
constexpr double kNewViewShare = 0.05;
// A live source that shows no new view for this many frames (about half a
// minute at 30 frames a second) ends the collection.
constexpr int kFramesWithoutNewView = 900;
constexpr double kLowCoverage = 0.5;
constexpr double kHighRmsPx = 1.0;

// Ctrl-C while views are collected ends the collection; the views kept so
// far are still calibrated.
volatile std::sig_atomic_t StopCollecting = 0;

void onStopSignal(int) { StopCollecting = 1; }

class StopOnSignals {
public:
    StopOnSignals() {
        StopCollecting = 0;
        struct sigaction action {};
        action.sa_handler = onStopSignal;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, &previousInt_);
        sigaction(SIGTERM, &action, &previousTerm_);
    }
    ~StopOnSignals() {
        sigaction(SIGINT, &previousInt_, nullptr);
        sigaction(SIGTERM, &previousTerm_, nullptr);
    }
    StopOnSignals(const StopOnSignals&) = delete;
    StopOnSignals& operator=(const StopOnSignals&) = delete;

private:
    struct sigaction previousInt_ {}, previousTerm_ {};
};

struct CalibrateOptions {
    ChessboardSpec board;
    bool boardGiven = false, squareGiven = false;
    std::string camera;
    int frames = kDefaultLiveViews;
    std::string importFile;
    cv::Size size;
    std::string boardPdf;
    PaperSize paper = PaperSize::A4;
    std::vector<std::string> images;
};

// "COLSxROWS" (or "WxH") of whole numbers, each at least `least`, else
// refusal(option, "needs " + what + ", not TEXT").
void parsePair(const std::string& option, const std::string& text, int least, const std::string& what, int& first,
               int& second) {
    const size_t x = text.find('x');
    try {
        if (x == std::string::npos) throw refusal(option, "");
        first = wholeNumber(option, text.substr(0, x), least, 100000);
        second = wholeNumber(option, text.substr(x + 1), least, 100000);
    } catch (const CLI::ValidationError&) {
        throw refusal(option, "needs " + what + ", not " + text);
    }
}

void declareCalibrateOptions(CLI::App& app, CalibrateOptions& options) {
    addValueOption(app, "--board", "COLSxROWS", "the board's inner corners (9x6 for a board of 10 x 7 squares)",
                   [&options](const std::string& text) {
                       parsePair("--board", text, 2, "the inner corners as COLSxROWS, each at least 2 (such as 9x6)",
                                 options.board.cols, options.board.rows);
                       options.boardGiven = true;
                   });
    addValueOption(app, "--square", "MM", "the printed side of one square", [&options](const std::string& text) {
        options.board.squareMm = positiveNumber("--square", text, "the side of a square in millimetres");
        options.squareGiven = true;
    });
    addValueOption(app, "--camera", "SOURCE", "views from a live source (as for --headless)",
                   [&options](const std::string& text) { options.camera = text; });
    addValueOption(app, "--frames", "N",
                   "views to collect from the live source, " + std::to_string(kMinCalibrationViews) +
                       " to 1000 (default 20)",
                   [&options](const std::string& text) {
                       options.frames = wholeNumber("--frames", text, kMinCalibrationViews, 1000);
                   });
    addValueOption(app, "--import", "FILE", "convert an OpenCV or ROS calibration file",
                   [&options](const std::string& text) { options.importFile = text; });
    addValueOption(app, "--size", "WxH", "the image size, when the imported file does not give it",
                   [&options](const std::string& text) {
                       parsePair("--size", text, 1, "the image size as WxH in pixels (such as 640x480)",
                                 options.size.width, options.size.height);
                   });
    addPdfOptions(app, "print the board to calibrate with instead", options.boardPdf, options.paper);
    app.add_option("IMAGE", options.images)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

// The options that go together; a refusal otherwise.
void checkCalibrateOptions(const CalibrateOptions& options) {
    if (!options.importFile.empty()) {
        if (options.boardGiven || options.squareGiven || !options.camera.empty() || !options.images.empty() ||
            !options.boardPdf.empty())
            throw CLI::ValidationError("--import takes no board, camera, images or --pdf");
        return;
    }
    if (!options.boardGiven || !options.squareGiven) throw CLI::ValidationError("--board and --square are needed");
    if (!options.boardPdf.empty()) {
        if (!options.camera.empty() || !options.images.empty())
            throw CLI::ValidationError("--pdf takes no camera or images");
        return;
    }
    if (options.camera.empty() == options.images.empty())
        throw CLI::ValidationError(options.camera.empty() ? "no images and no --camera given"
                                                          : "give images or --camera, not both");
}

// Views from image files; an image that cannot be read, or whose size
// differs from the first one's, is named and skipped.
std::vector<ChessboardView> viewsFromImages(const CalibrateOptions& options, cv::Size& size) {
    std::vector<ChessboardView> views;
    for (const std::string& path : options.images) {
        const cv::Mat image = cv::imread(path, cv::IMREAD_GRAYSCALE);
        if (image.empty()) {
            std::fprintf(stderr, "quillmark calibrate: cannot read the image %s; skipped\n", path.c_str());
            continue;
        }
        if (size.area() == 0) size = image.size();
        if (image.size() != size) {
            std::fprintf(stderr, "quillmark calibrate: %s is %dx%d, not %dx%d like the first image; skipped\n",
                         path.c_str(), image.cols, image.rows, size.width, size.height);
            continue;
        }
        ChessboardView corners;
        const bool found = findChessboard(image, options.board, corners);
        std::printf("%s: %s\n", path.c_str(), found ? "board found" : "board not found");
        if (found) views.push_back(corners);
    }
    return views;
}

bool differsFromAll(const ChessboardView& view, const std::vector<ChessboardView>& kept, cv::Size size) {
    const double least = kNewViewShare * std::hypot(size.width, size.height);
    for (const ChessboardView& k : kept)
        if (viewDistance(view, k) < least) return false;
    return true;
}

// Views from a live source, kept as they come when they show the board and
// differ enough from those already kept.
bool viewsFromCamera(const CalibrateOptions& options, std::vector<ChessboardView>& views, cv::Size& size) {
    CameraState camera;
    if (OpenCamera(0, camera, [&](int) { return options.camera; }) != 0) {
        std::fprintf(stderr, "quillmark calibrate: the camera %s could not be connected: %s\n",
                     options.camera.c_str(), camera.lastError.c_str());
        return false;
    }
    size = camera.FrameImage.size();
    std::printf("Calibrating from %s (%dx%d): show the board at varied angles, also near the edges and corners;"
                " Ctrl-C calibrates with the views kept so far\n",
                options.camera.c_str(), size.width, size.height);
    std::fflush(stdout);
    const StopOnSignals stopOnSignals;
    int framesWithoutNewView = 0;
    while (static_cast<int>(views.size()) < options.frames && framesWithoutNewView < kFramesWithoutNewView &&
           !StopCollecting) {
        const GrabStatus status = GrabFrame(camera);
        if (status == GrabStatus::Failed) {
            std::fprintf(stderr, "quillmark calibrate: %s stopped delivering frames: %s\n", options.camera.c_str(),
                         camera.lastError.c_str());
            break;
        }
        ++framesWithoutNewView;
        ChessboardView corners;
        if (status != GrabStatus::Ok || !findChessboard(camera.FrameImage, options.board, corners) ||
            !differsFromAll(corners, views, size))
            continue;
        views.push_back(corners);
        framesWithoutNewView = 0;
        std::printf("view %zu of %d kept, the views cover %.0f %% of the frame\n", views.size(), options.frames,
                    100 * boardCoverage(views, size));
        std::fflush(stdout);
    }
    CloseCamera(camera);
    return true;
}

int calibrateFromBoard(const CalibrateOptions& options) {
    cv::Size size;
    std::vector<ChessboardView> views;
    if (options.camera.empty()) views = viewsFromImages(options, size);
    else if (!viewsFromCamera(options, views, size)) return 1;
    const std::string boardName = std::to_string(options.board.cols) + "x" + std::to_string(options.board.rows);
    if (views.empty()) {
        std::fprintf(stderr, "quillmark calibrate: the %s board (inner corners) was not found in any view; nothing written\n",
                     boardName.c_str());
        return 1;
    }
    CalibrationResult result;
    std::string error;
    if (!calibrateFromViews(views, options.board, size, result, error)) {
        std::fprintf(stderr, "quillmark calibrate: %s; nothing written\n", error.c_str());
        return 1;
    }
    std::printf("%d views used, reprojection RMS %.3f px, the views cover %.0f %% of the frame\n", result.views,
                result.rmsPx, 100 * result.coverage);
    if (result.coverage < kLowCoverage)
        std::printf("warning: the views cover less than half the frame; the distortion near the edges is a guess. "
                    "Add views with the board near the edges and corners.\n");
    if (result.rmsPx > kHighRmsPx)
        std::printf("warning: the reprojection RMS is above 1 px; check the --board and --square values, "
                    "the flatness of the board and the focus.\n");
    return writeCalibrationRecord(result.param) ? 0 : 1;
}

int printBoard(const CalibrateOptions& options) {
    std::string error;
    const ChessboardSpec& board = options.board;
    if (!writeChessboardPdf(board.cols, board.rows, board.squareMm, options.paper, options.boardPdf, error)) {
        std::fprintf(stderr, "quillmark calibrate: %s\n", error.c_str());
        return 1;
    }
    std::printf("%dx%d board written to %s; print it at 100 %% and measure a square\n", board.cols, board.rows,
                options.boardPdf.c_str());
    return 0;
}

int runCalibrate(CalibrateOptions& options) {
    checkCalibrateOptions(options);
    if (!options.boardPdf.empty()) return printBoard(options);
    if (!std::filesystem::is_directory("Data")) {
        std::fprintf(stderr, "quillmark calibrate: there is no Data folder in %s\n",
                     std::filesystem::current_path().c_str());
        return 1;
    }
    return options.importFile.empty() ? calibrateFromBoard(options) : importCalibrationFile(options.importFile, options.size);
}

} // namespace

Command calibrateCommand() {
    return {"calibrate",
            "usage: quillmark calibrate [-C DIR] --board COLSxROWS --square MM IMAGE...\n"
            "       quillmark calibrate [-C DIR] --board COLSxROWS --square MM --camera SOURCE [--frames N]\n"
            "       quillmark calibrate [-C DIR] --import FILE [--size WxH]\n"
            "       quillmark calibrate [-C DIR] --board COLSxROWS --square MM --pdf OUT.pdf [--page a4|letter]\n",
            "  Writes Data/camera_para.dat (the previous one kept as Data/camera_para.dat.bak, .bak.1, ...).\n"
            "  From a live SOURCE, a view is kept when the board is found and has moved since the views\n"
            "  already kept, until N views or half a minute without a new one. --import takes an OpenCV\n"
            "  calibration (YAML or XML with camera_matrix and distortion_coefficients) or a ROS camera_info\n"
            "  YAML.\n",
            "", declaring(declareCalibrateOptions, runCalibrate)};
}
