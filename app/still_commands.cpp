// The still-image commands: detect (the report a client would receive for
// each image), pattern (register a printed marker from an image) and marker
// (a printable image of a catalogued pattern).
#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <locale>
#include <sstream>
#include <set>
#include <utility>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include "camera_param.h"
#include "catalogue.h"
#include "commands.h"
#include "config.h"
#include "detector_state.h"
#include "evaluate.h"
#include "marker_print.h"
#include "pattern.h"
#include "pattern_writer.h"
#include "render.h"
#include "report.h"
#include "server_state.h"

namespace {

const char* const kPatternListPath = "Data/pattern_list.txt";
const char* const kConfigPath = "Data/config.txt";

bool parseCount(const std::string& text, int& value) {
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    long long parsed;
    if (!(in >> parsed) || !in.eof() || parsed < 0 || parsed > 1000000000) return false;
    value = static_cast<int>(parsed);
    return true;
}

bool parseWidthMm(const std::string& text, double& value) {
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    double parsed;
    if (!(in >> parsed) || !in.eof() || !std::isfinite(parsed) || parsed <= 0.0) return false;
    value = parsed;
    return true;
}

// Decoder libraries (libpng, libjpeg) write their own complaints straight
// to file descriptor 2; while one decodes, those go nowhere, and the
// caller says what went wrong in its own words.
class QuietStderr {
public:
    QuietStderr() {
        std::fflush(stderr);
        const int null = open("/dev/null", O_WRONLY);
        savedFd_ = null >= 0 ? dup(STDERR_FILENO) : -1;
        if (savedFd_ >= 0) dup2(null, STDERR_FILENO);
        if (null >= 0) close(null);
    }
    ~QuietStderr() {
        if (savedFd_ < 0) return;
        dup2(savedFd_, STDERR_FILENO);
        close(savedFd_);
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    int savedFd_ = -1;
};

// Reads an image file, or says in `error` what is wrong with it in words a
// user can act on. The file is checked first, and OpenCV's own log is kept
// quiet, so that one problem gives one line and never a decoder's warning.
bool readImage(const std::string& path, cv::Mat& image, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (!fs::exists(status)) {
        error = "there is no file " + path;
        return false;
    }
    if (fs::is_directory(status)) {
        error = path + " is a folder, not an image";
        return false;
    }
    if (!std::ifstream(path, std::ios::binary)) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
    try {
        const QuietStderr quiet;
        if (cv::haveImageReader(path)) image = cv::imread(path, cv::IMREAD_COLOR);
    } catch (const cv::Exception&) {
        image.release();
    }
    if (image.empty()) {
        error = path + " is not an image that can be read (PNG, JPEG, BMP, TIFF, ...), or it is damaged";
        return false;
    }
    return true;
}

// The detector and the catalogue print their diagnostics on standard output;
// while a detect command runs, that is moved to standard error so standard
// output carries nothing but reports, written through `reports`.
class ReportsOnlyStdout {
public:
    ReportsOnlyStdout() {
        std::fflush(stdout);
        savedFd_ = dup(STDOUT_FILENO);
        if (savedFd_ >= 0) {
            reports = fdopen(dup(savedFd_), "w");
            dup2(STDERR_FILENO, STDOUT_FILENO);
        }
        if (!reports) reports = stdout;
    }
    ~ReportsOnlyStdout() {
        std::fflush(stdout);
        if (reports != stdout) std::fclose(reports);
        if (savedFd_ >= 0) {
            dup2(savedFd_, STDOUT_FILENO);
            close(savedFd_);
        }
    }
    ReportsOnlyStdout(const ReportsOnlyStdout&) = delete;
    ReportsOnlyStdout& operator=(const ReportsOnlyStdout&) = delete;

    FILE* reports = nullptr;

private:
    int savedFd_ = -1;
};

// The operator's settings when Data/ has them; without a file the defaults
// stand, and no complaint is due.
Settings storedSettings() {
    Settings settings;
    if (std::filesystem::exists(kConfigPath)) LoadConfig(settings);
    return settings;
}

DataFormat defaultDataFormat(const Settings& settings) {
    if (!std::filesystem::exists(kConfigPath)) return allFields();
    return settings.format;
}

struct DetectOptions {
    DataFormat format;
    bool formatGiven = false;
    int repeat = 1;
    bool refine = false; // --refine: sub-pixel corners, whatever the settings say
    std::vector<std::string> images;
    Args detectorFlags;
};

// --threshold, --max-squares and --max-area at args[i], checked and kept
// with their value in `flags` (applied over the stored settings once those
// are read): 1 taken, 0 not one of them, -1 refused with a message.
int takeDetectorFlag(const char* command, const Args& args, size_t& i, Args& flags) {
    const std::string& flag = args[i];
    if (flag != "--threshold" && flag != "--max-squares" && flag != "--max-area") return 0;
    if (i + 1 >= args.size()) {
        std::fprintf(stderr, "quillmark %s: %s needs a value\n", command, flag.c_str());
        return -1;
    }
    DetectorOptions scratch;
    std::string error;
    applyDetectorFlag(flag, args[i + 1], scratch, error);
    if (!error.empty()) {
        std::fprintf(stderr, "quillmark %s: %s\n", command, error.c_str());
        return -1;
    }
    flags.push_back(flag);
    flags.push_back(args[++i]);
    return 1;
}

// The settings' detector options with the command line's flags over them.
DetectorOptions detectorOptionsWith(const Settings& settings, const Args& flags) {
    DetectorOptions options = detectorOptionsOf(settings);
    std::string ignored;
    for (size_t i = 0; i + 1 < flags.size(); i += 2) applyDetectorFlag(flags[i], flags[i + 1], options, ignored);
    return options;
}

bool parseDetectOptions(const Args& args, DetectOptions& options) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (const int taken = takeDetectorFlag("detect", args, i, options.detectorFlags)) {
            if (taken < 0) return false;
        } else if (arg == "--fields" || arg == "--repeat") {
            if (i + 1 >= args.size()) {
                std::fprintf(stderr, "quillmark detect: %s needs a value\n", arg.c_str());
                return false;
            }
            const std::string& value = args[++i];
            if (arg == "--fields") {
                std::string error;
                if (!parseFieldList(value, options.format, error)) {
                    std::fprintf(stderr, "quillmark detect: --fields: %s\n", error.c_str());
                    return false;
                }
                options.formatGiven = true;
            } else if (!parseCount(value, options.repeat) || options.repeat < 1) {
                std::fprintf(stderr, "quillmark detect: --repeat needs a whole number of at least 1, not %s\n",
                             value.c_str());
                return false;
            }
        } else if (arg == "--refine") {
            options.refine = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "quillmark detect: unknown option %s\n", arg.c_str());
            printCommandUsage("detect", stderr);
            return false;
        } else {
            options.images.push_back(arg);
        }
    }
    if (options.images.empty()) {
        std::fprintf(stderr, "quillmark detect: no image given\n");
        return false;
    }
    return true;
}

// Installs `stored` scaled to the frame size unless that size is installed
// already. The camera is printed the first time each size is installed.
bool installCameraFor(const CameraParam& stored, int width, int height, CameraParam& installed,
                      std::set<std::pair<int, int>>& printed) {
    if (installed.xsize == width && installed.ysize == height) return true;
    CameraParam scaled;
    if (scaleCameraParam(stored, width, height, scaled) < 0 || setWorkingCameraParam(scaled) < 0) {
        std::fprintf(stderr, "quillmark detect: cannot install the camera for a %dx%d frame\n", width, height);
        return false;
    }
    if (printed.insert({width, height}).second) printCameraParam(scaled, stderr);
    installed = scaled;
    return true;
}

// A missing catalogue is an empty one; one that cannot be read whole (a
// width that is not a number ends the reading) must not be replaced.
bool loadCatalogueForUpdate(Catalogue& catalogue, const char* command) {
    if (!std::filesystem::is_directory("Data")) {
        std::fprintf(stderr, "quillmark %s: there is no Data folder in %s\n", command,
                     std::filesystem::current_path().c_str());
        return false;
    }
    if (!std::filesystem::exists(kPatternListPath)) return true;
    if (LoadPatternList(catalogue) < 0 || static_cast<int>(catalogue.size()) != storedPatternCount()) {
        std::fprintf(stderr, "quillmark %s: %s cannot be read whole; mend it before adding patterns\n", command,
                     kPatternListPath);
        return false;
    }
    return true;
}

struct MarkerPrint {
    std::string out;
    bool pdf = false;
    PaperSize paper = PaperSize::A4;
    int dpi = 300;
};

// N OUT [--dpi N] or N --pdf OUT [--page a4|letter].
bool parseMarkerOptions(const Args& args, int& number, MarkerPrint& print) {
    std::vector<std::string> words;
    bool pageGiven = false, dpiGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg != "--pdf" && arg != "--page" && arg != "--dpi") {
            words.push_back(arg);
            continue;
        }
        if (i + 1 >= args.size()) {
            std::fprintf(stderr, "quillmark marker: %s needs a value\n", arg.c_str());
            return false;
        }
        const std::string& value = args[++i];
        if (arg == "--pdf") {
            print.pdf = true;
            print.out = value;
        } else if (arg == "--page" && !paperSizeByName(value, print.paper)) {
            std::fprintf(stderr, "quillmark marker: --page is a4 or letter, not %s\n", value.c_str());
            return false;
        } else if (arg == "--dpi" && (!parseCount(value, print.dpi) || print.dpi < 50 || print.dpi > 4800)) {
            std::fprintf(stderr, "quillmark marker: --dpi needs a whole number from 50 to 4800, not %s\n",
                         value.c_str());
            return false;
        }
        pageGiven = pageGiven || arg == "--page";
        dpiGiven = dpiGiven || arg == "--dpi";
    }
    if (!print.pdf && words.size() == 2) print.out = words[1];
    if (words.empty() || words.size() != (print.pdf ? 1u : 2u) || !parseCount(words[0], number) ||
        (print.pdf ? dpiGiven : pageGiven)) {
        std::fprintf(stderr, "quillmark marker: expected N OUT.png [--dpi N] or N --pdf OUT.pdf [--page a4|letter],"
                             " N a catalogue number\n");
        return false;
    }
    return true;
}

// The markers of one image; with repeat > 1 the time per frame goes to stderr.
ResultTable detectImage(const cv::Mat& image, const Catalogue& catalogue, int repeat, const std::string& path) {
    ResultTable table;
    cv::Mat frame;
    const auto start = std::chrono::steady_clock::now();
    for (int run = 0; run < repeat; ++run) {
        cv::cvtColor(image, frame, cv::COLOR_BGR2BGRA);
        table.clear();
        evaluateMarkers(frame.data, catalogue, table);
    }
    const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
    if (repeat > 1) {
        std::fprintf(stderr, "%s: %dx%d, %zu markers, %.3f ms per frame over %d frames\n", path.c_str(), image.cols,
                     image.rows, table.size(), elapsed.count() / repeat, repeat);
    }
    return table;
}

} // namespace

int runDetect(const Args& args) {
    DetectOptions options;
    if (!parseDetectOptions(args, options)) return 2;
    ReportsOnlyStdout output;
    const Settings settings = storedSettings();
    if (!options.formatGiven) options.format = defaultDataFormat(settings);

    CameraParam stored;
    if (loadCameraParam(kCameraParamPath, 1, &stored) < 0 || stored.xsize <= 0 || stored.ysize <= 0) {
        std::fprintf(stderr, "quillmark detect: %s is missing or holds no whole camera record; "
                             "make it with quillmark calibrate\n", kCameraParamPath);
        return 1;
    }
    Catalogue catalogue;
    if (LoadPatternList(catalogue) < 0 || catalogue.empty()) {
        std::fprintf(stderr, "quillmark detect: %s lists no patterns to look for\n", kPatternListPath);
        return 1;
    }
    LoadCataloguePatterns(catalogue);
    // The detector as the operator set it up, with the command line's switches on top.
    DetectorOptions detector = detectorOptionsWith(settings, options.detectorFlags);
    if (options.refine) detector.cornerRefine = true;
    detectorState().options = detector;

    CameraParam installed;
    std::set<std::pair<int, int>> printed;
    bool skipped = false;
    // Images are numbered by their place among the arguments, so a stamp
    // names its image even when one before it was skipped.
    uint64_t number = 0;
    for (const std::string& path : options.images) {
        ++number;
        cv::Mat image;
        std::string error;
        if (!readImage(path, image, error)) {
            std::fprintf(stderr, "quillmark detect: %s; skipped\n", error.c_str());
            skipped = true;
            continue;
        }
        const FrameStamp stamp{number, wallClockSeconds()};
        std::fprintf(stderr, "%s: %dx%d\n", path.c_str(), image.cols, image.rows);
        if (!installCameraFor(stored, image.cols, image.rows, installed, printed)) return 1;
        const ResultTable table = detectImage(image, catalogue, options.repeat, path);
        const std::string report = allReportText(table, options.format, stamp);
        std::fwrite(report.data(), 1, report.size(), output.reports);
        std::fflush(output.reports);
    }
    return skipped ? 1 : 0;
}

int runPattern(const Args& args) {
    std::string name, image;
    double widthMm = 0.0;
    bool named = false, widthGiven = false;
    Args detectorFlags;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (const int taken = takeDetectorFlag("pattern", args, i, detectorFlags)) {
            if (taken < 0) return 2;
        } else if (arg == "--name" || arg == "--width") {
            if (i + 1 >= args.size()) {
                std::fprintf(stderr, "quillmark pattern: %s needs a value\n", arg.c_str());
                return 2;
            }
            const std::string& value = args[++i];
            if (arg == "--name") {
                name = value;
                named = true;
            } else if (!parseWidthMm(value, widthMm)) {
                std::fprintf(stderr, "quillmark pattern: --width needs a positive number of millimetres, not %s\n",
                             value.c_str());
                return 2;
            } else {
                widthGiven = true;
            }
        } else if (arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "quillmark pattern: unknown option %s\n", arg.c_str());
            printCommandUsage("pattern", stderr);
            return 2;
        } else if (image.empty()) {
            image = arg;
        } else {
            std::fprintf(stderr, "quillmark pattern: one image at a time\n");
            return 2;
        }
    }
    if (image.empty()) {
        std::fprintf(stderr, "quillmark pattern: no image given\n");
        return 2;
    }
    if (named) {
        if (const char* problem = patternNameProblem(name)) {
            std::fprintf(stderr, "quillmark pattern: the name \"%s\" is refused: %s\n", name.c_str(), problem);
            return 2;
        }
    }

    Catalogue catalogue;
    if (!loadCatalogueForUpdate(catalogue, "pattern")) return 1;
    const Settings settings = storedSettings();
    if (!widthGiven) widthMm = settings.defaultPatternWidth;
    cv::Mat picture;
    std::string readError;
    if (!readImage(image, picture, readError)) {
        std::fprintf(stderr, "quillmark pattern: %s\n", readError.c_str());
        return 1;
    }

    PatternEntry entry;
    entry.index = static_cast<int>(catalogue.size());
    if (!named) {
        char defaultName[16];
        std::snprintf(defaultName, sizeof defaultName, "P%03d", entry.index);
        name = defaultName;
    }
    entry.name = name;
    for (const PatternEntry& other : catalogue) {
        if (other.name == name) {
            std::fprintf(stderr, "quillmark pattern: warning: %s\n", sharedNameWarning(name, other.index).c_str());
            break;
        }
    }
    entry.path = patternFilePath(entry.index);
    entry.width = widthMm;
    entry.inUse = true;
    const std::string thumbnail = thumbnailFilePath(entry.index);
    // Files of this number that the catalogue does not list belong to an
    // entry it lost (a cut or damaged file); they are not ours to replace.
    for (const std::string& path : {entry.path, thumbnail}) {
        if (std::filesystem::exists(path)) {
            std::fprintf(stderr, "quillmark pattern: %s exists but %s has no entry %d; mend the catalogue or move the file\n",
                         path.c_str(), kPatternListPath, entry.index);
            return 1;
        }
    }
    std::string error, note;
    detectorState().options = detectorOptionsWith(settings, detectorFlags);
    if (registerLargestSquare(picture, entry.path, thumbnail, error, &note) < 0) {
        std::fprintf(stderr, "quillmark pattern: %s: %s\n", image.c_str(), error.c_str());
        return 1;
    }
    if (!note.empty()) std::fprintf(stderr, "quillmark pattern: %s: %s\n", image.c_str(), note.c_str());
    catalogue.push_back(entry);
    if (SavePatternList(catalogue) < 0) {
        std::remove(entry.path.c_str());
        std::remove(thumbnail.c_str());
        std::fprintf(stderr, "quillmark pattern: cannot write %s\n", kPatternListPath);
        return 1;
    }
    std::printf("%s registered as %s and %s, width %s mm\n", entry.name.c_str(), entry.path.c_str(),
                thumbnail.c_str(), formatWidthText(entry.width).c_str());
    if (entry.index >= kPatternSlots) {
        std::fprintf(stderr, "quillmark pattern: the detector holds %d patterns; %s (number %d) will not be recognised\n",
                     kPatternSlots, entry.name.c_str(), entry.index);
    }
    return 0;
}

int runMarker(const Args& args) {
    int number = -1;
    MarkerPrint print;
    if (!parseMarkerOptions(args, number, print)) {
        printCommandUsage("marker", stderr);
        return 2;
    }
    Catalogue catalogue;
    if (LoadPatternList(catalogue) < 0) {
        std::fprintf(stderr, "quillmark marker: no catalogue %s\n", kPatternListPath);
        return 1;
    }
    if (number >= static_cast<int>(catalogue.size())) {
        std::fprintf(stderr, "quillmark marker: the catalogue has no pattern %d (it holds %zu)\n", number,
                     catalogue.size());
        return 1;
    }
    const std::string path = patternFilePath(number);
    cv::Mat pattern;
    if (readPatternImage(path.c_str(), pattern) < 0) {
        std::fprintf(stderr, "quillmark marker: cannot read %s\n", path.c_str());
        return 1;
    }
    std::string error;
    const bool written = print.pdf ? writeMarkerPdf(pattern, catalogue[number].name, catalogue[number].width,
                                                    print.paper, print.out, error)
                                   : writeMarkerImage(pattern, catalogue[number].width, print.dpi, print.out, error);
    if (!written) {
        std::fprintf(stderr, "quillmark marker: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s (%s) written to %s, its black square %s mm wide when printed at 100 %%\n",
                catalogue[number].name.c_str(), path.c_str(), print.out.c_str(),
                formatWidthText(catalogue[number].width).c_str());
    return 0;
}
