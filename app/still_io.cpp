#include "still_io.h"
#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <opencv2/core/utils/logger.hpp>
#include <opencv2/imgcodecs.hpp>

const char* const kCameraParamPath = "Data/camera_para.dat";
const char* const kPatternListPath = "Data/pattern_list.txt";
const char* const kConfigPath = "Data/config.txt";

namespace {

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

} // namespace

// The file is checked first, and OpenCV's own log is kept quiet.
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

ReportsOnlyStdout::ReportsOnlyStdout() {
    std::fflush(stdout);
    savedFd_ = dup(STDOUT_FILENO);
    if (savedFd_ >= 0) {
        reports = fdopen(dup(savedFd_), "w");
        dup2(STDERR_FILENO, STDOUT_FILENO);
    }
    if (!reports) reports = stdout;
}

ReportsOnlyStdout::~ReportsOnlyStdout() {
    std::fflush(stdout);
    if (reports != stdout) std::fclose(reports);
    if (savedFd_ >= 0) {
        dup2(savedFd_, STDOUT_FILENO);
        close(savedFd_);
    }
}

Settings storedSettings() {
    Settings settings;
    if (std::filesystem::exists(kConfigPath)) LoadConfig(settings);
    return settings;
}

DataFormat defaultDataFormat(const Settings& settings) {
    if (!std::filesystem::exists(kConfigPath)) return allFields();
    return dataFormatOf(settings);
}

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

