// quillmark body: measuring a rigid body's members from views of it,
// printing a flat body of new markers, and listing the bodies file.
// Data/body_list.txt is only ever replaced whole, its previous text kept as
// a numbered backup, and not at all when the command fails.
#include <signal.h>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include "bodies.h"
#include "body_board.h"
#include "body_measure.h"
#include "camera.h"
#include "catalogue_patterns.h"
#include "command_line.h"
#include "detector_state.h"
#include "evaluate.h"
#include "marker_print.h"
#include "pattern_writer.h"
#include "render.h"
#include "still_io.h"

namespace {

constexpr int kDefaultLiveViews = 25;
// A live view is kept when the members' corners have moved on average this
// share of the frame diagonal from those of every view kept, or it shows
// another set of members.
constexpr double kNewViewShare = 0.04;
// About half a minute at 30 frames a second without a new view ends the collection.
constexpr int kFramesWithoutNewView = 900;

// Where measure's results go: standard output, kept clear of the
// detector's and the catalogue's diagnostics while it runs.
FILE* Out = stdout;

volatile std::sig_atomic_t StopCollecting = 0;
void onStopSignal(int) { StopCollecting = 1; }

// Ctrl-C while views are collected measures with the views so far.
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

struct BodyRequest {
    std::vector<std::string> words;  // measure|board|list, BODY, IMAGE...
    std::string camera;
    int frames = kDefaultLiveViews;
    BoardLayout board;
    bool gridGiven = false, widthGiven = false, gapGiven = false;
    std::string pdf;
    PaperSize paper = PaperSize::A4;
    DetectorOptions detector;
    Overrides overrides;
    std::vector<std::string> given;  // the options given, for the checks of each action
};

void declareBodyOptions(CLI::App& app, BodyRequest& request) {
    const auto note = [&request](const std::string& option) { request.given.push_back(option); };
    addValueOption(app, "--camera", "SOURCE", "measure: views from a live source (as for --headless)",
                   [&request, note](const std::string& text) {
                       request.camera = text;
                       note("--camera");
                   });
    addValueOption(app, "--frames", "N",
                   "measure: views to collect from the live source, " + std::to_string(kMinBodyViews) +
                       " to 1000 (default 25)",
                   [&request, note](const std::string& text) {
                       request.frames = wholeNumber("--frames", text, kMinBodyViews, 1000);
                       note("--frames");
                   });
    addValueOption(app, "--grid", "COLSxROWS", "board: markers across and down (2x2, ...)",
                   [&request, note](const std::string& text) {
                       const size_t x = text.find('x');
                       const std::string what = "needs markers across and down as COLSxROWS, at least two in all, not " + text;
                       if (x == std::string::npos) throw refusal("--grid", what);
                       try {
                           request.board.cols = wholeNumber("--grid", text.substr(0, x), 1, 50);
                           request.board.rows = wholeNumber("--grid", text.substr(x + 1), 1, 50);
                       } catch (const CLI::ValidationError&) {
                           throw refusal("--grid", what);
                       }
                       if (request.board.cols * request.board.rows < 2) throw refusal("--grid", what);
                       request.gridGiven = true;
                       note("--grid");
                   });
    addValueOption(app, "--width", "MM", "board: the printed side of each black square",
                   [&request, note](const std::string& text) {
                       request.board.widthMm = positiveNumber("--width", text, "the side of a square in millimetres");
                       request.widthGiven = true;
                       note("--width");
                   });
    addValueOption(app, "--gap", "MM", "board: the paper between neighbouring squares, at least a tenth of --width",
                   [&request, note](const std::string& text) {
                       request.board.gapMm = positiveNumber("--gap", text, "a positive number of millimetres");
                       request.gapGiven = true;
                       note("--gap");
                   });
    addPdfOptions(app, "board: the page to print", request.pdf, request.paper);
    addDetectorOptions(app, request.overrides, request.detector);
    app.add_option("WORDS", request.words)->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
}

void refuseOptionsOutside(const BodyRequest& request, const std::vector<std::string>& allowed, const std::string& action) {
    for (const std::string& option : request.given)
        if (std::find(allowed.begin(), allowed.end(), option) == allowed.end())
            throw CLI::ValidationError(option + " is not taken by body " + action);
}

bool dataFolderThere() {
    if (std::filesystem::is_directory("Data")) return true;
    std::fprintf(stderr, "quillmark body: there is no Data folder in %s\n", std::filesystem::current_path().c_str());
    return false;
}

// The bodies file against the catalogue, with its refusals on standard
// error; a missing file is an empty list. A refused line does not stop a
// rewrite: only the lines of the body written change (writeBodyChange).
bool readBodiesFile(const Catalogue& catalogue, BodyList& list) {
    list = BodyList{};
    if (!std::filesystem::exists(kBodyListPath)) return true;
    if (!readBodyList(kBodyListPath, catalogue, list)) {
        std::fprintf(stderr, "quillmark body: cannot read %s\n", kBodyListPath);
        return false;
    }
    for (const std::string& refusal : list.refusals) std::fprintf(stderr, "%s\n", refusal.c_str());
    return true;
}

// ---------------------------------------------------------------------------
// measure

struct MeasureInput {
    const Body* body = nullptr;
    std::vector<std::string> names;
    Catalogue catalogue;
    CameraParam stored, installed;
};

std::string memberNames(const BodyView& view, const MeasureInput& input) {
    std::string text;
    for (const MemberSighting& s : view) text += (text.empty() ? "" : ", ") + input.names[s.member];
    return text.empty() ? "no member" : text;
}

// The members of the body among the markers of one frame.
BodyView sightingsIn(const cv::Mat& bgr, const MeasureInput& input) {
    cv::Mat frame;
    cv::cvtColor(bgr, frame, cv::COLOR_BGR2BGRA);
    ResultTable table;
    evaluateMarkers(frame.data, input.catalogue, table);
    BodyView view;
    for (const MarkerResult& r : table) {
        for (size_t m = 0; m < input.body->members.size(); ++m) {
            if (input.body->members[m].patternId != r.patternId) continue;
            MemberSighting s;
            s.member = m;
            std::copy(&r.vertex[0][0], &r.vertex[0][0] + 8, &s.corner[0][0]);
            s.markerPose = poseFromGlMatrix(r.glMatrix);
            view.push_back(s);
        }
    }
    return view;
}

bool installCamera(MeasureInput& input, int width, int height) {
    if (input.installed.xsize == width && input.installed.ysize == height) return true;
    CameraParam scaled;
    if (scaleCameraParam(input.stored, width, height, scaled) < 0 || setWorkingCameraParam(scaled) < 0) {
        std::fprintf(stderr, "quillmark body: cannot install the camera for a %dx%d frame\n", width, height);
        return false;
    }
    const std::string warning = cameraScaleWarning(input.stored, width, height);
    if (!warning.empty()) std::fprintf(stderr, "quillmark body: warning: %s\n", warning.c_str());
    input.installed = scaled;
    return true;
}

// Views from image files, in the order given; an image that cannot be
// read, or whose size differs from the first one's, is named and skipped.
bool viewsFromImages(const std::vector<std::string>& paths, MeasureInput& input, std::vector<BodyView>& views,
                     std::vector<std::string>& labels) {
    cv::Size size;
    for (const std::string& path : paths) {
        cv::Mat image;
        std::string error;
        if (!readImage(path, image, error)) {
            std::fprintf(stderr, "quillmark body: %s; skipped\n", error.c_str());
            continue;
        }
        if (size.area() == 0) size = image.size();
        if (image.size() != size) {
            std::fprintf(stderr, "quillmark body: %s is %dx%d, not %dx%d like the first image; skipped\n",
                         path.c_str(), image.cols, image.rows, size.width, size.height);
            continue;
        }
        if (!installCamera(input, image.cols, image.rows)) return false;
        views.push_back(sightingsIn(image, input));
        labels.push_back(path);
        std::fprintf(Out, "%s: %s\n", path.c_str(), memberNames(views.back(), input).c_str());
    }
    return true;
}

// How far a view's corners are from another's: the mean distance over the
// members both show, or infinite when they show different members.
double viewDistance(const BodyView& a, const BodyView& b) {
    if (a.size() != b.size()) return INFINITY;
    double sum = 0;
    for (const MemberSighting& s : a) {
        const auto other = std::find_if(b.begin(), b.end(), [&](const MemberSighting& o) { return o.member == s.member; });
        if (other == b.end()) return INFINITY;
        for (int k = 0; k < 4; ++k) sum += std::hypot(s.corner[k][0] - other->corner[k][0], s.corner[k][1] - other->corner[k][1]);
    }
    return sum / (4.0 * a.size());
}

bool viewsFromCamera(const std::string& source, int wanted, MeasureInput& input, std::vector<BodyView>& views,
                     std::vector<std::string>& labels) {
    CameraState camera;
    if (OpenCamera(0, camera, [&](int) { return source; }) != 0) {
        std::fprintf(stderr, "quillmark body: the camera %s could not be connected: %s\n", source.c_str(),
                     camera.lastError.c_str());
        return false;
    }
    const cv::Size size = camera.FrameImage.size();
    if (!installCamera(input, size.width, size.height)) {
        CloseCamera(camera);
        return false;
    }
    std::fprintf(Out, "Measuring %s from %s (%dx%d): show two or more of its members at a time, from varied sides and "
                "distances; Ctrl-C measures with the views kept so far\n",
                input.body->name.c_str(), source.c_str(), size.width, size.height);
    std::fflush(Out);
    const double least = kNewViewShare * std::hypot(size.width, size.height);
    const StopOnSignals stopOnSignals;
    int framesWithoutNewView = 0;
    int frameNumber = 0;
    while (static_cast<int>(views.size()) < wanted && framesWithoutNewView < kFramesWithoutNewView && !StopCollecting) {
        const GrabStatus status = GrabFrame(camera);
        if (status == GrabStatus::Failed) {
            std::fprintf(stderr, "quillmark body: %s stopped delivering frames: %s\n", source.c_str(),
                         camera.lastError.c_str());
            break;
        }
        ++framesWithoutNewView;
        ++frameNumber;
        if (status != GrabStatus::Ok) continue;
        const BodyView view = sightingsIn(camera.FrameImage, input);
        if (view.size() < 2 ||
            std::any_of(views.begin(), views.end(), [&](const BodyView& kept) { return viewDistance(view, kept) < least; }))
            continue;
        views.push_back(view);
        labels.push_back("frame " + std::to_string(frameNumber));
        framesWithoutNewView = 0;
        std::fprintf(Out, "view %zu of %d kept: %s\n", views.size(), wanted, memberNames(view, input).c_str());
        std::fflush(Out);
    }
    CloseCamera(camera);
    return true;
}

void printMeasurement(const BodyMeasurement& result, const MeasureInput& input, const std::vector<BodyView>& views,
                      const std::vector<std::string>& labels) {
    std::fprintf(Out, "%zu of %zu views used (two or more members seen together):", result.viewsUsed.size(), views.size());
    for (int v : result.viewsUsed) std::fprintf(Out, " %s", labels[v].c_str());
    std::fprintf(Out, "\n");
    for (const auto& [view, member] : result.leftOut)
        std::fprintf(Out, "left out: %s in %s, its corners disagree with the other members'\n", input.names[member].c_str(),
                    labels[view].c_str());
    for (size_t m = 0; m < result.members.size(); ++m) {
        const MeasuredMember& member = result.members[m];
        double q[4];
        quaternionOf(member.pose.R, q);
        std::fprintf(Out, "%s: seen in %d views, RMS %.3f px, at %.3f %.3f %.3f mm, quaternion %.6f %.6f %.6f %.6f%s\n",
                    input.names[m].c_str(), member.views, member.rmsPx, member.pose.t[0], member.pose.t[1],
                    member.pose.t[2], q[0], q[1], q[2], q[3], m == 0 ? " (the body frame)" : "");
    }
    std::fprintf(Out, "RMS over all corners %.3f px\n", result.rmsPx);
}

int runMeasure(BodyRequest& request) {
    refuseOptionsOutside(request, {"--camera", "--frames"}, "measure");
    if (request.words.size() < 2) throw CLI::ValidationError("body measure needs the body's name");
    const std::string& name = request.words[1];
    const std::vector<std::string> images(request.words.begin() + 2, request.words.end());
    if (images.empty() == request.camera.empty())
        throw CLI::ValidationError(images.empty() ? "no images and no --camera given" : "give images or --camera, not both");
    if (!dataFolderThere()) return 1;
    const ReportsOnlyStdout quiet;
    Out = quiet.reports;
    MeasureInput input;
    std::string error;
    if (!readCameraParamFile(kCameraParamPath, input.stored, error)) {
        std::fprintf(stderr, "quillmark body: %s; make it with quillmark calibrate\n", error.c_str());
        return 1;
    }
    if (LoadPatternList(input.catalogue) < 0) {
        std::fprintf(stderr, "quillmark body: %s lists no patterns\n", kPatternListPath);
        return 1;
    }
    BodyList list;
    if (!readBodiesFile(input.catalogue, list)) return 1;
    const auto body = std::find_if(list.bodies.begin(), list.bodies.end(), [&](const Body& b) { return b.name == name; });
    if (body == list.bodies.end()) {
        std::fprintf(stderr, "quillmark body: %s has no body %s\n", kBodyListPath, name.c_str());
        return 1;
    }
    if (body->members.size() < 2) {
        std::fprintf(stderr, "quillmark body: %s has one member; there is nothing to measure\n", name.c_str());
        return 1;
    }
    input.body = &*body;
    for (const BodyMember& m : body->members) input.names.push_back(m.pattern);
    LoadCataloguePatterns(input.catalogue);
    const Settings settings = storedSettings();
    request.detector = detectorOptionsOf(settings);
    request.overrides.apply();
    // Measuring is where the corners' accuracy counts most and time least.
    request.detector.cornerRefine = true;
    detectorState().options = request.detector;

    std::vector<BodyView> views;
    std::vector<std::string> labels;
    const bool collected = images.empty() ? viewsFromCamera(request.camera, request.frames, input, views, labels)
                                          : viewsFromImages(images, input, views, labels);
    if (!collected) return 1;
    BodyMeasurement result;
    if (input.installed.xsize == 0 || !measureBody(*body, views, input.installed, result, error)) {
        std::fprintf(stderr, "quillmark body: %s: %s; nothing written\n", name.c_str(),
                     input.installed.xsize == 0 ? "no view could be read" : error.c_str());
        return 1;
    }
    printMeasurement(result, input, views, labels);
    for (size_t m = 0; m < body->members.size(); ++m) setMemberPose(body->members[m], result.members[m].pose);
    std::string backup;
    if (!writeBodyChange(kBodyListPath, *body, error, &backup)) {
        std::fprintf(stderr, "quillmark body: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(Out, "%s written%s%s\n", kBodyListPath, backup.empty() ? "" : "; the previous file is kept as ",
                backup.c_str());
    return 0;
}

// ---------------------------------------------------------------------------
// board

// A body name must come back as one word and split cleanly at commas.
const char* bodyNameProblem(const std::string& name) {
    if (name.empty() || name.find_first_of(" \t\r\n\v\f,#") != std::string::npos)
        return "a body name is one word without commas or #";
    return nullptr;
}

// What `body board` writes, so that a failure part way takes it back.
class Registration {
public:
    ~Registration() {
        if (done_) return;
        for (const std::string& path : written_) std::remove(path.c_str());
        if (catalogueSaved_) SavePatternList(oldCatalogue_);
    }
    void wrote(const std::string& path) { written_.push_back(path); }
    void savedCatalogue(const Catalogue& old) {
        oldCatalogue_ = old;
        catalogueSaved_ = true;
    }
    void keep() { done_ = true; }

private:
    std::vector<std::string> written_;
    Catalogue oldCatalogue_;
    bool catalogueSaved_ = false, done_ = false;
};

int runBoard(BodyRequest& request) {
    refuseOptionsOutside(request, {"--grid", "--width", "--gap", "--pdf", "--page"}, "board");
    if (request.words.size() != 2) throw CLI::ValidationError("body board needs the body's name alone");
    if (!request.gridGiven || !request.widthGiven || !request.gapGiven || request.pdf.empty())
        throw CLI::ValidationError("body board needs --grid, --width, --gap and --pdf");
    const BoardLayout& layout = request.board;
    if (layout.gapMm < layout.widthMm / 10)
        throw refusal("--gap", "needs at least a tenth of --width, so that the squares stay apart in the camera's view");
    const std::string& name = request.words[1];
    if (const char* problem = bodyNameProblem(name))
        throw CLI::ValidationError("\"" + name + "\" is refused: " + problem);

    Catalogue catalogue;
    if (!dataFolderThere() || !loadCatalogueForUpdate(catalogue, "body")) return 1;
    BodyList list;
    if (!readBodiesFile(catalogue, list)) return 1;
    if (std::any_of(list.bodies.begin(), list.bodies.end(), [&](const Body& b) { return b.name == name; })) {
        std::fprintf(stderr, "quillmark body: %s already has a body %s\n", kBodyListPath, name.c_str());
        return 1;
    }
    Body body;
    body.name = name;
    body.members = boardMembers(name, layout);
    const int count = static_cast<int>(body.members.size());
    for (const BodyMember& m : body.members) {
        for (const PatternEntry& e : catalogue)
            if (e.name == m.pattern) {
                std::fprintf(stderr, "quillmark body: the catalogue already has a pattern %s (%s)\n", m.pattern.c_str(),
                             e.path.c_str());
                return 1;
            }
    }
    if (static_cast<int>(catalogue.size()) + count > kPatternSlots) {
        std::fprintf(stderr, "quillmark body: the detector holds %d patterns; the catalogue has %zu, and %d more do not fit\n",
                     kPatternSlots, catalogue.size(), count);
        return 1;
    }
    for (int i = 0; i < count; ++i) {
        const int index = static_cast<int>(catalogue.size()) + i;
        for (const std::string& path : {patternFilePath(index), thumbnailFilePath(index)})
            if (std::filesystem::exists(path)) {
                std::fprintf(stderr, "quillmark body: %s exists but %s has no entry %d; mend the catalogue or move the file\n",
                             path.c_str(), kPatternListPath, index);
                return 1;
            }
    }

    std::vector<cv::Mat> existing;
    for (const PatternEntry& e : catalogue) {
        cv::Mat pattern;
        if (readPatternImage(patternFilePath(e.index).c_str(), pattern) == 0) existing.push_back(pattern);
    }
    double worst = 0;
    const std::vector<cv::Mat> patterns =
        designBoardPatterns(count, existing, static_cast<uint32_t>(std::hash<std::string>{}(name)), worst);
    if (worst > kBoardMaxSimilarity) {
        std::fprintf(stderr, "quillmark body: no %d patterns could be found that differ enough from each other and "
                             "from the catalogue's (closest %.2f); nothing written\n",
                     count, worst);
        return 1;
    }

    char caption[512];
    std::snprintf(caption, sizeof caption,
                  "Body %s: %d x %d markers %s_1 to %s_%d in reading order, black squares %s mm wide, %s mm apart",
                  name.c_str(), layout.cols, layout.rows, name.c_str(), name.c_str(), count,
                  formatWidthText(layout.widthMm).c_str(), formatWidthText(layout.gapMm).c_str());
    std::string error;
    Registration registration;
    // The page first: a board that does not fit registers nothing.
    if (!writeMarkerGridPdf(patterns, layout.cols, layout.rows, layout.widthMm, layout.gapMm, name, caption, request.paper,
                            request.pdf, error)) {
        std::fprintf(stderr, "quillmark body: %s; nothing written\n", error.c_str());
        return 1;
    }
    registration.wrote(request.pdf);
    Catalogue updated = catalogue;
    for (int i = 0; i < count; ++i) {
        PatternEntry entry;
        entry.index = static_cast<int>(updated.size());
        entry.name = body.members[i].pattern;
        entry.path = patternFilePath(entry.index);
        entry.width = layout.widthMm;
        const std::string thumbnail = thumbnailFilePath(entry.index);
        if (writePatternImageFile(entry.path.c_str(), patterns[i]) != 0) {
            std::fprintf(stderr, "quillmark body: cannot write %s; nothing kept\n", entry.path.c_str());
            return 1;
        }
        registration.wrote(entry.path);
        if (!cv::imwrite(thumbnail, renderMarkerImage(patterns[i], kThumbnailSide, 0))) {
            std::fprintf(stderr, "quillmark body: cannot write %s; nothing kept\n", thumbnail.c_str());
            return 1;
        }
        registration.wrote(thumbnail);
        updated.push_back(entry);
    }
    if (SavePatternList(updated) < 0) {
        std::fprintf(stderr, "quillmark body: cannot write %s; nothing kept\n", kPatternListPath);
        return 1;
    }
    registration.savedCatalogue(catalogue);
    list.bodies.push_back(body);
    std::string backup;
    if (!writeBodyChange(kBodyListPath, body, error, &backup)) {
        std::fprintf(stderr, "quillmark body: %s; nothing kept\n", error.c_str());
        return 1;
    }
    registration.keep();
    std::printf("%s: %d patterns %s (%s) to %s (%s) registered, each differing from the others and the catalogue's "
                "in every quarter turn (closest %.2f)\n",
                name.c_str(), count, updated[catalogue.size()].name.c_str(), updated[catalogue.size()].path.c_str(),
                updated.back().name.c_str(), updated.back().path.c_str(), worst);
    std::printf("%s written with its members as printed%s%s\n", kBodyListPath,
                backup.empty() ? "" : "; the previous file is kept as ", backup.c_str());
    std::printf("%s written; print it at 100 %% and check a square is %s mm wide\n", request.pdf.c_str(),
                formatWidthText(layout.widthMm).c_str());
    return 0;
}

// ---------------------------------------------------------------------------
// list

int runList(BodyRequest& request) {
    refuseOptionsOutside(request, {}, "list");
    if (request.words.size() != 1) throw CLI::ValidationError("body list takes no more words");
    ReportsOnlyStdout quiet;
    Catalogue catalogue;
    if (std::filesystem::exists(kPatternListPath) && LoadPatternList(catalogue) < 0) return 1;
    if (!std::filesystem::exists(kBodyListPath)) {
        std::fprintf(quiet.reports, "no bodies: there is no %s\n", kBodyListPath);
        return 0;
    }
    BodyList list;
    if (!readBodyList(kBodyListPath, catalogue, list)) {
        std::fprintf(stderr, "quillmark body: cannot read %s\n", kBodyListPath);
        return 1;
    }
    for (const Body& body : list.bodies) {
        std::fprintf(quiet.reports, "%s: %zu member%s, %s\n", body.name.c_str(), body.members.size(),
                     body.members.size() == 1 ? "" : "s",
                     body.tracked() ? "tracked" : "not tracked until measured (quillmark body measure)");
        for (const BodyMember& m : body.members) {
            if (m.poseKnown)
                std::fprintf(quiet.reports, "  %s %s mm at %.3f %.3f %.3f mm, quaternion %.6f %.6f %.6f %.6f\n",
                             m.pattern.c_str(), formatWidthText(m.widthMm).c_str(), m.X, m.Y, m.Z, m.QW, m.QX, m.QY,
                             m.QZ);
            else
                std::fprintf(quiet.reports, "  %s %s mm, not measured\n", m.pattern.c_str(),
                             formatWidthText(m.widthMm).c_str());
        }
    }
    for (const std::string& refusal : list.refusals) std::fprintf(quiet.reports, "refused: %s\n", refusal.c_str());
    return list.refusals.empty() ? 0 : 1;
}

int runBody(BodyRequest& request) {
    const std::string action = request.words.empty() ? "" : request.words[0];
    if (action == "measure") return runMeasure(request);
    if (action == "board") return runBoard(request);
    if (action == "list") return runList(request);
    throw CLI::ValidationError(action.empty() ? "expected measure, board or list"
                                              : "expected measure, board or list, not " + action);
}

} // namespace

Command bodyCommand() {
    return {"body",
            "usage: quillmark body measure [-C DIR] BODY IMAGE...\n"
            "       quillmark body measure [-C DIR] BODY --camera SOURCE [--frames N]\n"
            "       quillmark body board [-C DIR] BODY --grid COLSxROWS --width MM --gap MM --pdf OUT.pdf "
            "[--page a4|letter]\n"
            "       quillmark body list [-C DIR]\n",
            "  measure: the poses of BODY's members in its frame (its first member's) from views in which two\n"
            "  or more of them are seen together, fitted jointly with sub-pixel corners, written into\n"
            "  Data/body_list.txt (the previous one kept as Data/body_list.txt.bak, .bak.1, ...).\n"
            "  board: registers COLS x ROWS new patterns BODY_1 ..., writes BODY with their printed layout\n"
            "  and the page to print at 100 %. list: the bodies and their members as read, and the lines refused.\n",
            "", declaring(declareBodyOptions, runBody)};
}
