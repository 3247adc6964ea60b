// quillmark marker: a catalogued pattern drawn at its catalogue width, as an
// image that prints at that width or as a PDF page.
#include <cstdio>
#include <memory>
#include "catalogue_patterns.h"
#include "command_line.h"
#include "marker_print.h"
#include "render.h"
#include "still_io.h"

namespace {

struct MarkerRequest {
    std::string number;  // N, checked once the shape of the line is known
    std::string out;     // OUT.png
    std::string pdf;     // --pdf OUT.pdf
    PaperSize paper = PaperSize::A4;
    int dpi = 300;
};

void declareMarkerOptions(CLI::App& app, MarkerRequest& request) {
    app.add_option("N", request.number);
    app.add_option("OUT", request.out);
    addValueOption(app, "--dpi", "N", "the resolution stored in the image, 50 to 4800 (default 300)",
                   [&request](const std::string& text) { request.dpi = wholeNumber("--dpi", text, 50, 4800); })
        ->excludes(addPdfOptions(app, "a PDF page instead of an image", request.pdf, request.paper));
}

// The catalogue number, once N OUT.png or N --pdf OUT.pdf is there.
int checkedNumber(const MarkerRequest& request) {
    const bool pdf = !request.pdf.empty();
    if (!pdf && request.out.size() > 4 && request.out.compare(request.out.size() - 4, 4, ".pdf") == 0)
        throw CLI::ValidationError(request.out + ": a PDF is written with --pdf: quillmark marker " + request.number +
                                   " --pdf " + request.out);
    if (request.number.empty() || (pdf ? !request.out.empty() : request.out.empty()))
        throw CLI::ValidationError("expected N OUT.png [--dpi N] or N --pdf OUT.pdf [--page a4|letter],"
                                   " N a catalogue number");
    return wholeNumber("N", request.number, 0, 1000000000);
}

int runMarker(MarkerRequest& request) {
    const int number = checkedNumber(request);
    const bool pdf = !request.pdf.empty();
    const std::string& out = pdf ? request.pdf : request.out;
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
    const PatternEntry& entry = catalogue[number];
    const std::string path = patternFilePath(number);
    cv::Mat pattern;
    if (readPatternImage(path.c_str(), pattern) < 0) {
        std::fprintf(stderr, "quillmark marker: cannot read %s\n", path.c_str());
        return 1;
    }
    std::string error;
    const bool written = pdf ? writeMarkerPdf(pattern, entry.name, entry.width, request.paper, out, error)
                             : writeMarkerImage(pattern, entry.width, request.dpi, out, error);
    if (!written) {
        std::fprintf(stderr, "quillmark marker: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s (%s) written to %s, its black square %s mm wide when printed at 100 %%\n", entry.name.c_str(),
                path.c_str(), out.c_str(), formatWidthText(entry.width).c_str());
    return 0;
}

} // namespace

Command markerCommand() {
    return {"marker",
            "usage: quillmark marker [-C DIR] N OUT.png [--dpi N]\n"
            "       quillmark marker [-C DIR] N --pdf OUT.pdf [--page a4|letter]\n",
            "  Draw catalogue pattern N at its catalogue width: an image whose stored resolution\n"
            "  (--dpi, default 300) prints it at that width at 100 %, or a PDF page.\n",
            "", declaring(declareMarkerOptions, runMarker)};
}
