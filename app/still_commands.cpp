// The still-image commands: detect (the report a client would receive for
// each image), pattern (register a printed marker from an image) and marker
// (a printable image of a catalogued pattern).
#include <unistd.h>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <locale>
#include <sstream>
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

namespace {

const char* const kCameraParamPath = "Data/camera_para.dat";
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
    return dataFormatOf(settings);
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

// Installs `stored` scaled to the frame size unless that size is installed already.
bool installCameraFor(const CameraParam& stored, int width, int height, CameraParam& installed) {
    if (installed.xsize == width && installed.ysize == height) return true;
    CameraParam scaled;
    if (scaleCameraParam(stored, width, height, scaled) < 0 || setWorkingCameraParam(scaled) < 0) {
        std::fprintf(stderr, "quillmark detect: cannot install the camera for a %dx%d frame\n", width, height);
        return false;
    }
    printCameraParam(scaled, stderr);
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
    ResultTable table;
    for (const std::string& path : options.images) {
        const cv::Mat image = cv::imread(path, cv::IMREAD_COLOR);
        if (image.empty()) {
            std::fprintf(stderr, "quillmark detect: cannot read the image %s\n", path.c_str());
            return 1;
        }
        if (!installCameraFor(stored, image.cols, image.rows, installed)) return 1;
        cv::Mat frame;
        const auto start = std::chrono::steady_clock::now();
        for (int run = 0; run < options.repeat; ++run) {
            cv::cvtColor(image, frame, cv::COLOR_BGR2BGRA);
            table.clear();
            evaluateMarkers(frame.data, catalogue, table);
        }
        const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
        if (options.repeat > 1) {
            std::fprintf(stderr, "%s: %dx%d, %zu markers, %.3f ms per frame over %d frames\n", path.c_str(),
                         image.cols, image.rows, table.size(), elapsed.count() / options.repeat, options.repeat);
        }
        const std::string report = allReportText(table, options.format);
        std::fwrite(report.data(), 1, report.size(), output.reports);
        std::fflush(output.reports);
    }
    return 0;
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
    const cv::Mat picture = cv::imread(image, cv::IMREAD_COLOR);
    if (picture.empty()) {
        std::fprintf(stderr, "quillmark pattern: cannot read the image %s\n", image.c_str());
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
    if (!parseMarkerOptions(args, number, print)) return 2;
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
