#include "command_line.h"
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <locale>
#include <sstream>
#include "detector_options.h"
#include "marker_print.h"
#include "protocol.h"
#include "web_guard.h"
#include "report.h"
#include "world_frame.h"

#ifndef QUILLMARK_VERSION
#define QUILLMARK_VERSION "unknown"
#endif

namespace {

// Help lines: the option and its value, then the help from this column.
constexpr size_t kHelpColumn = 27;

std::string optionNames(const CLI::Option& option) {
    std::string names;
    for (const std::string& s : option.get_snames()) names += (names.empty() ? "-" : ", -") + s;
    for (const std::string& l : option.get_lnames()) names += (names.empty() ? "--" : ", --") + l;
    if (option.get_type_size() != 0) names += " " + option.get_type_name();
    return names;
}

// -C, --help and --version: every command takes them; the dialog's block lists them.
bool isCommonOption(const CLI::App& app, const CLI::Option* option) {
    return option == app.get_help_ptr() || option->check_name("-C") || option->check_name("--version");
}

std::string optionLines(const CLI::App& app, bool common) {
    std::string lines;
    for (const CLI::Option* option : app.get_options()) {
        if (!option->nonpositional() || option->get_group().empty() || isCommonOption(app, option) != common)
            continue;
        std::string line = "  " + optionNames(*option);
        line += line.size() < kHelpColumn ? std::string(kHelpColumn - line.size(), ' ') : " ";
        for (char c : option->get_description()) line += c == '\n' ? "\n" + std::string(kHelpColumn, ' ') : std::string(1, c);
        lines += line + "\n";
    }
    return lines;
}

// The declarations of `command` in a fresh App; its run is left unused.
struct DeclaredCommand {
    CLI::App app;
    std::string directory;
    CommandRun run;
};

void declare(const Command& command, DeclaredCommand& declared) {
    CLI::App& app = declared.app;
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.allow_extras();
    app.set_help_flag("-h,--help", "this text; after a command, that command's usage");
    app.add_option("-C", declared.directory, "change to DIR first (every command takes it)")->type_name("DIR");
    app.set_version_flag("--version", std::string("quillmark ") + QUILLMARK_VERSION, "the version");
    declared.run = command.declare(app);
}

std::string helpOf(const Command& command, const CLI::App* app) {
    std::string options;
    if (app && command.word.empty()) options = optionLines(*app, true);
    if (app) options += optionLines(*app, false);
    return command.synopsis + command.about + options + command.notes;
}

// "quillmark detect: ", or "quillmark: " for the dialog and the server.
std::string prefixOf(const Command& command) {
    return command.word.empty() || command.word[0] == '-' ? "quillmark: " : "quillmark " + command.word + ": ";
}

// The other commands that take `option`.
std::vector<std::string> commandsTaking(const std::string& option, const Command& command,
                                        const std::vector<Command>& all) {
    std::vector<std::string> words;
    for (const Command& other : all) {
        if (!other.declare || other.word == command.word) continue;
        DeclaredCommand declared;
        declare(other, declared);
        if (declared.app.get_option_no_throw(option.substr(0, option.find('=')))) words.push_back(other.word);
    }
    return words;
}

// What is wrong with the words left over, with the command a person likely meant.
std::string leftOverProblem(const std::string& word, const Command& command, const std::vector<Command>& all) {
    if (word.size() < 2 || word[0] != '-')
        return "unexpected argument " + word +
               (command.word.empty() ? "; the commands are --headless, detect, pattern, marker, calibrate and body" : "");
    const std::vector<std::string> others = commandsTaking(word, command, all);
    if (others.empty()) return "unknown option " + word;
    if (command.word.empty() && others[0] == "--headless")
        return word + " is an option of the server without a window: add --headless (quillmark --headless " + word +
               " ...)";
    std::string takers;
    for (const std::string& other : others) takers += (takers.empty() ? "quillmark " : " and quillmark ") + other;
    return "unknown option " + word + "; " + takers + " take" + (others.size() == 1 ? "s" : "") + " it";
}

int usageError(const Command& command, const std::string& message) {
    std::fprintf(stderr, "%s%s\n%s(quillmark %s--help for more)\n", prefixOf(command).c_str(), message.c_str(),
                 command.synopsis.c_str(), command.word.empty() ? "" : (command.word + " ").c_str());
    return 2;
}

// CLI11's own texts where a shorter one says the same.
std::string parseErrorText(const CLI::ParseError& error) {
    const std::string text = error.what();
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) && text.find(" missing") != std::string::npos)
        return text.substr(0, text.find(':')) + " needs a value";
    return text;
}

bool writeOut(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    return std::fflush(stdout) == 0 && !std::ferror(stdout);
}

} // namespace

const std::string FieldWordsNote = [] {
    std::string words;
    for (const ReportField& field : REPORT_FIELDS) words += std::string(field.word) + ", ";
    return "  LIST is a comma list of " + words.substr(0, words.size() - 2) + " and stamp\n"
           "  (a \"Stamp= <frame> <time>\" line before each report); all is the eight marker fields,\n"
           "  none is no field; either stands alone or with stamp, e.g. all,stamp.\n";
}();

CLI::ValidationError refusal(const std::string& option, const std::string& problem) {
    return CLI::ValidationError(option + " " + problem);
}

int wholeNumber(const std::string& option, const std::string& text, long long min, long long max,
                const std::string& alternative) {
    long long value = 0;
    bool ok = !text.empty() && text.size() <= 12;
    for (char c : text) {
        ok = ok && c >= '0' && c <= '9';
        if (ok) value = value * 10 + (c - '0');
    }
    if (!ok || value < min || value > max)
        throw refusal(option, "needs a whole number from " + std::to_string(min) + " to " + std::to_string(max) +
                                  alternative + ", not \"" + text + "\"");
    return static_cast<int>(value);
}

double positiveNumber(const std::string& option, const std::string& text, const std::string& what) {
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    double value = 0;
    if (!(in >> value) || !in.eof() || !std::isfinite(value) || value <= 0)
        throw refusal(option, "needs " + what + ", not " + text);
    return value;
}

CLI::Option* addValueOption(CLI::App& app, const std::string& name, const std::string& value,
                            const std::string& help, std::function<void(const std::string&)> take) {
    return app.add_option_function<std::string>(name, std::move(take), help)->type_name(value);
}

void addFieldsOption(CLI::App& app, Overrides& overrides, DataFormat& format, const std::string& help) {
    addValueOption(app, "--fields", "LIST", help, [&overrides, &format](const std::string& text) {
        DataFormat given;
        std::string error;
        if (!parseFieldList(text, given, error)) throw CLI::ValidationError("--fields: " + error);
        overrides.add([&format, given] { format = given; });
    });
}

void addDetectorOptions(CLI::App& app, Overrides& overrides, DetectorOptions& detector) {
    app.add_flag_callback(
        "--refine", [&overrides, &detector] { overrides.add([&detector] { detector.cornerRefine = true; }); },
        "sub-pixel corners ([CornerRefine] 1)");
    app.add_flag_callback(
        "--real-camera", [&overrides, &detector] { overrides.add([&detector] { applyRealCamera(detector); }); },
        "the recommended detection for a real camera: automatic threshold, sub-pixel corners, verification "
        "of each identity and " + std::to_string(kRealCameraMaxSquares) + " square candidates a frame (unless "
        "--max-squares or [MaxSquares] says otherwise)");
    addValueOption(app, "--threshold", "N|auto",
                   "fixed threshold " + std::to_string(kThresholdMin) + " to " + std::to_string(kThresholdMax) +
                       " (default 100), or one that follows the light",
                   [&overrides, &detector](const std::string& text) {
                       if (text == "auto") return overrides.add([&detector] { detector.autoThreshold = true; });
                       const int n = wholeNumber("--threshold", text, kThresholdMin, kThresholdMax, " or auto");
                       overrides.add([&detector, n] {
                           detector.threshold = n;
                           detector.autoThreshold = false;
                       });
                   });
    addValueOption(app, "--max-squares", "N",
                   "square candidates a frame, " + std::to_string(kMaxSquaresMin) + " to " +
                       std::to_string(kMaxSquaresMax) + " (default 30)",
                   [&overrides, &detector](const std::string& text) {
                       const int n = wholeNumber("--max-squares", text, kMaxSquaresMin, kMaxSquaresMax);
                       overrides.add([&detector, n] { detector.maxSquares = n; });
                   });
    addValueOption(app, "--max-area", "N", "largest dark region in pixels (default 100000)",
                   [&overrides, &detector](const std::string& text) {
                       const int n = wholeNumber("--max-area", text, kMaxMarkerAreaMin, kMaxMarkerAreaMax);
                       overrides.add([&detector, n] { detector.maxMarkerArea = n; });
                   });
}

void addWorldOptions(CLI::App& app, Overrides& overrides, WorldOptions& world) {
    addValueOption(app, "--world", "BODY",
                   "the body of Data/body_list.txt whose frame is the world's ([WorldBody]):\n"
                   "the camera's pose in it, and every pose also in it",
                   [&overrides, &world](const std::string& text) {
                       if (text.empty() || text.find(',') != std::string::npos)
                           throw refusal("--world", "needs a body name (one word, no commas), not \"" + text + "\"");
                       overrides.add([&world, text] { world.body = text; });
                   });
    app.add_flag_callback(
        "--camera-fixed", [&overrides, &world] { overrides.add([&world] { world.cameraFixed = true; }); },
        "the camera does not move: its world pose is averaged over the frames\n"
        "the world body is seen in, and kept while it is covered ([CameraFixed] 1)");
}

void addCommandTimeoutOption(CLI::App& app, Overrides& overrides, int& seconds) {
    addValueOption(app, "--command-timeout", "S",
                   "close a Command-Mode client that sends nothing for S seconds\n(default " +
                       std::to_string(COMMAND_IDLE_TIMEOUT_DEFAULT_S) + "; 0: never)",
                   [&overrides, &seconds](const std::string& text) {
                       const int s = wholeNumber("--command-timeout", text, 0, COMMAND_IDLE_TIMEOUT_MAX_S);
                       overrides.add([&seconds, s] { seconds = s; });
                   });
}

void addPageAllowOption(CLI::App& app, Overrides& overrides, std::vector<std::string>& hosts) {
    addParsedOption(app, overrides, "--http-allow", "HOST,...",
                    "names besides the page's own address that its requests\n"
                    "(Host, Origin) may give, e.g. a reverse proxy's", hosts, parseWebAllow);
}

CLI::Option* addPdfOptions(CLI::App& app, const std::string& pdfHelp, std::string& pdf, PaperSize& paper) {
    CLI::Option* pdfOption = app.add_option("--pdf", pdf, pdfHelp)->type_name("OUT.pdf");
    addValueOption(app, "--page", "a4|letter", "the paper of the PDF (default a4)", [&paper](const std::string& text) {
        if (!paperSizeByName(text, paper)) throw refusal("--page", "is a4 or letter, not " + text);
    })->needs(pdfOption);
    return pdfOption;
}

std::string fullHelp(const std::vector<Command>& all) {
    std::string text;
    for (const Command& command : all) {
        DeclaredCommand declared;
        if (command.declare) declare(command, declared);
        text += (text.empty() ? "" : "\n") + helpOf(command, command.declare ? &declared.app : nullptr);
    }
    return text;
}

int runCommandLine(const Command& command, const std::vector<Command>& all, const Args& args) {
    DeclaredCommand declared;
    declare(command, declared);
    try {
        std::vector<std::string> reversed(args.rbegin(), args.rend());
        declared.app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        const std::string help = command.word.empty() ? fullHelp(all) : helpOf(command, &declared.app);
        return writeOut(help) ? 0 : 1;
    } catch (const CLI::CallForVersion& version) {
        return writeOut(std::string(version.what()) + "\n") ? 0 : 1;
    } catch (const CLI::ParseError& error) {
        return usageError(command, parseErrorText(error));
    }
    const std::vector<std::string> left = declared.app.remaining();
    if (!left.empty()) {
        // An option first: a stray word is often the value of an unknown option.
        const auto option = std::find_if(left.begin(), left.end(), [](const std::string& w) { return w[0] == '-'; });
        return usageError(command, leftOverProblem(option != left.end() ? *option : left[0], command, all));
    }
    if (!declared.directory.empty() && chdir(declared.directory.c_str()) != 0) {
        std::fprintf(stderr, "%scannot change to %s: %s\n", prefixOf(command).c_str(), declared.directory.c_str(),
                     std::strerror(errno));
        return 2;
    }
    int status;
    try {
        status = declared.run();
    } catch (const CLI::ParseError& error) {
        // A refusal found once the command's options are seen together.
        return usageError(command, error.what());
    }
    // What a command says on standard output is its result too: a full disk
    // or a closed pipe must not end in success.
    const bool flushed = std::fflush(stdout) == 0;
    if (!flushed || std::ferror(stdout)) {
        std::fprintf(stderr, "%scannot write to standard output%s%s\n", prefixOf(command).c_str(),
                     flushed ? "" : ": ", flushed ? "" : std::strerror(errno));
        return status ? status : 1;
    }
    return status;
}
