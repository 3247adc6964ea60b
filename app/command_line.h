#pragma once
// The command line of every quillmark command, read by CLI11. Each option is
// declared once, with the name of its value, its check and its help line;
// --help, the refusals and the suggestions come from those declarations.
//
// Adding an option: declare it in its command's declare function (the
// command's own file), or, when several commands take it, in one of the
// shared groups below so that it is spelled the same everywhere. A value the
// stored settings also give is not applied at once: its step goes into the
// command's Overrides, which run after -C has changed the folder and the
// settings are read. A refused value throws refusal(...), which names the
// option; the help lists options in declaration order.
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include <CLI/CLI.hpp>
#include "commands.h"

struct DataFormat;
struct DetectorOptions;
struct WorldOptions;
enum class PaperSize;

// Steps that put the command line's values over the stored settings, run in
// declaration order once the settings of the working directory are read.
class Overrides {
public:
    void add(std::function<void()> step) { steps_.push_back(std::move(step)); }
    void apply() const {
        for (const auto& step : steps_) step();
    }

private:
    std::vector<std::function<void()>> steps_;
};

// A usage error naming `option`: "--port needs a number from 0 to 65535, not
// "x"", with exit status 2.
CLI::ValidationError refusal(const std::string& option, const std::string& problem);

// A whole decimal number within min..max, else refusal(option, "needs a whole
// number from MIN to MAX<alternative>, not "TEXT"").
int wholeNumber(const std::string& option, const std::string& text, long long min, long long max,
                const std::string& alternative = "");
// A finite number above zero, else refusal(option, "needs " + what + ", not TEXT").
double positiveNumber(const std::string& option, const std::string& text, const std::string& what);

// An option taking one value shown as `value` in the help; `take` checks the
// text (throwing refusal) and keeps it.
CLI::Option* addValueOption(CLI::App& app, const std::string& name, const std::string& value,
                            const std::string& help, std::function<void(const std::string&)> take);

// The declare of a Command whose options fill a Request that `run` takes.
template <class Request>
std::function<CommandRun(CLI::App&)> declaring(void (*declare)(CLI::App&, Request&), int (*run)(Request&)) {
    return [declare, run](CLI::App& app) -> CommandRun {
        auto request = std::make_shared<Request>();
        declare(app, *request);
        return [request, run] { return run(*request); };
    };
}

// An option read by `parse(text, option, target, error)` (the output
// targets, the page's address): checked at once, put over the settings
// later by reading it again into `target`.
template <class Target>
void addParsedOption(CLI::App& app, Overrides& overrides, const std::string& name, const std::string& value,
                     const std::string& help, Target& target,
                     bool (*parse)(const std::string&, const std::string&, Target&, std::string&)) {
    addValueOption(app, name, value, help, [&overrides, &target, name, value, parse](const std::string& text) {
        Target scratch{};
        std::string error;
        if (text.empty()) throw refusal(name, "needs " + value);
        if (!parse(text, name, scratch, error)) throw CLI::ValidationError(error);
        overrides.add([&target, name, text, parse] {
            std::string checked;
            parse(text, name, target, checked);
        });
    });
}

// The shared groups.
// --fields LIST, over the stored fields.
void addFieldsOption(CLI::App& app, Overrides& overrides, DataFormat& format, const std::string& help);
// The detector's opt-ins: --refine, --real-camera, --threshold, --max-squares,
// --max-area.
void addDetectorOptions(CLI::App& app, Overrides& overrides, DetectorOptions& detector);
// The world frame: --world BODY and --camera-fixed (which needs --world
// unless the settings name the world body).
void addWorldOptions(CLI::App& app, Overrides& overrides, WorldOptions& world);
// --pdf OUT.pdf and --page a4|letter; the --pdf option, for the command's own checks.
CLI::Option* addPdfOptions(CLI::App& app, const std::string& pdfHelp, std::string& pdf, PaperSize& paper);

// --command-timeout S, over [CommandIdleTimeout]: seconds a Command-Mode
// client may send nothing before it is closed (0: never).
void addCommandTimeoutOption(CLI::App& app, Overrides& overrides, int& seconds);

// --http-allow HOST[:PORT],...: names the page's requests may give besides
// its own address.
void addPageAllowOption(CLI::App& app, Overrides& overrides, std::vector<std::string>& hosts);

// The fields words, printed after the options of the commands that take --fields.
extern const std::string FieldWordsNote;

// Reads `args` for `command` (-C, --help and --version are every command's),
// changes to the -C folder and runs the command. Usage errors print the
// reason, the usage and, for an option another command takes, that command,
// and give 2; help and the version go to standard output with 0.
int runCommandLine(const Command& command, const std::vector<Command>& all, const Args& args);
// Every command's help, one block each, the dialog's first.
std::string fullHelp(const std::vector<Command>& all);
