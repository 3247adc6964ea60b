// quillmark pattern: register the largest square of an image (a photo or a
// scan of a printed marker) as the next catalogue pattern.
#include <cstdio>
#include <filesystem>
#include <memory>
#include "catalogue_patterns.h"
#include "command_line.h"
#include "detector_state.h"
#include "pattern.h"
#include "pattern_writer.h"
#include "still_io.h"

namespace {

struct PatternRequest {
    std::string name;  // empty: P followed by its number
    double widthMm = 0.0;
    DetectorOptions detector;
    std::vector<std::string> images;
    Overrides overrides;
};

void declarePatternOptions(CLI::App& app, PatternRequest& request) {
    addValueOption(app, "--name", "NAME", "its name (default P followed by its number, e.g. P004)",
                   [&request](const std::string& text) {
                       if (const char* problem = patternNameProblem(text))
                           throw refusal("--name", "\"" + text + "\" is refused: " + problem);
                       request.name = text;
                   });
    addValueOption(app, "--width", "MM", "its printed width in millimetres (default [DefaultPatternWidth])",
                   [&request](const std::string& text) {
                       const double width = positiveNumber("--width", text, "a positive number of millimetres");
                       request.overrides.add([&request, width] { request.widthMm = width; });
                   });
    addDetectorOptions(app, request.overrides, request.detector);
    app.add_option("IMAGE", request.images)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

// The catalogue entry the image becomes, or null with the reason on
// standard error when its number's files belong to an entry the catalogue lost.
bool makeEntry(const Catalogue& catalogue, const std::string& name, double widthMm, PatternEntry& entry) {
    entry.index = static_cast<int>(catalogue.size());
    entry.name = name;
    if (name.empty()) {
        char defaultName[16];
        std::snprintf(defaultName, sizeof defaultName, "P%03d", entry.index);
        entry.name = defaultName;
    }
    for (const PatternEntry& other : catalogue) {
        if (other.name == entry.name) {
            std::fprintf(stderr, "quillmark pattern: warning: %s\n", sharedNameWarning(entry.name, other.index).c_str());
            break;
        }
    }
    entry.path = patternFilePath(entry.index);
    entry.width = widthMm;
    entry.inUse = true;
    // Files of this number that the catalogue does not list belong to an
    // entry it lost (a cut or damaged file); they are not ours to replace.
    for (const std::string& path : {entry.path, thumbnailFilePath(entry.index)}) {
        if (std::filesystem::exists(path)) {
            std::fprintf(stderr, "quillmark pattern: %s exists but %s has no entry %d; mend the catalogue or move the file\n",
                         path.c_str(), kPatternListPath, entry.index);
            return false;
        }
    }
    return true;
}

int runPattern(PatternRequest& request) {
    if (request.images.empty()) throw CLI::ValidationError("no image given");
    if (request.images.size() > 1) throw CLI::ValidationError("one image at a time");
    const std::string& image = request.images[0];
    Catalogue catalogue;
    if (!loadCatalogueForUpdate(catalogue, "pattern")) return 1;
    const Settings settings = storedSettings();
    request.widthMm = settings.defaultPatternWidth;
    request.detector = detectorOptionsOf(settings);
    request.overrides.apply();
    cv::Mat picture;
    std::string error, note;
    if (!readImage(image, picture, error)) {
        std::fprintf(stderr, "quillmark pattern: %s\n", error.c_str());
        return 1;
    }
    PatternEntry entry;
    if (!makeEntry(catalogue, request.name, request.widthMm, entry)) return 1;
    const std::string thumbnail = thumbnailFilePath(entry.index);
    detectorState().options = request.detector;
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

} // namespace

Command patternCommand() {
    return {"pattern",
            "usage: quillmark pattern [-C DIR] [OPTION...] IMAGE\n",
            "  Register the largest square of IMAGE as the next catalogue pattern.\n",
            "", declaring(declarePatternOptions, runPattern)};
}
