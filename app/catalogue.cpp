#include "catalogue.h"
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <locale>
#include <sstream>
#include "replace_file.h"
#include "whole_file.h"

namespace {

const char* const kPatternListPath = "Data/pattern_list.txt";

// A path as a hand may have written it ("./Data/001.patt", "Data\\001.patt").
bool sameFile(std::string stored, const std::string& expected) {
    std::replace(stored.begin(), stored.end(), '\\', '/');
    return std::filesystem::path(stored).lexically_normal() == std::filesystem::path(expected).lexically_normal();
}

} // namespace

std::string formatWidthText(double widthMm) {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text.setf(std::ios::fixed);
    text.precision(1);
    text << widthMm;
    return text.str();
}

const char* patternNameProblem(const std::string& name) {
    if (name.empty()) return "a pattern name is one word without commas, not empty";
    for (char c : name) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f')
            return "a pattern name is one word without commas, with no white space in it";
        if (c == ',') return "a pattern name is one word without commas, as clients split report lines at commas";
    }
    return nullptr;
}

std::string sharedNameWarning(const std::string& name, int otherIndex) {
    return "the name \"" + name + "\" is also the name of pattern " + std::to_string(otherIndex) + " (" +
           patternFilePath(otherIndex) + "): reports and \"get " + name + "\" will not tell the two apart";
}

int LoadPatternList(Catalogue& catalogue, std::vector<std::string>* problems) {
    // Read whole, so that a doubtful entry can be named by its line.
    std::string text, reason;
    if (!readWholeFile(kPatternListPath, text, reason)) {
        // A missing file is an empty catalogue; anything else is named.
        if (std::filesystem::exists(kPatternListPath)) std::printf("%s can not open: %s.\n", kPatternListPath, reason.c_str());
        else std::printf("%s can not open.\n", kPatternListPath);
        return -1;
    }
    std::istringstream in(text);
    // Qt sets the process locale from the environment; the file always uses
    // a decimal point.
    in.imbue(std::locale::classic());
    catalogue.clear();
    std::string word;
    while (in >> word) {
        if (word != "[Pattern]") continue;
        PatternEntry entry;
        std::string storedPath, status;
        const std::streamoff nameAt = (in >> std::ws) ? static_cast<std::streamoff>(in.tellg()) : 0;
        // A row's files are always those of its number, whatever path was stored.
        if (!(in >> entry.name >> storedPath)) break;
        if (!(in >> entry.width)) {
            std::printf("%s: the width of pattern \"%s\" is not a number; it and the entries after it are ignored.\n",
                        kPatternListPath, entry.name.c_str());
            break;
        }
        if (!(in >> status)) break;
        entry.inUse = status == "use";
        entry.index = static_cast<int>(catalogue.size());
        entry.path = patternFilePath(entry.index);
        const long line = 1 + std::count(text.begin(), text.begin() + nameAt, '\n');
        const auto report = [&](const std::string& what) {
            const std::string problem = std::string(kPatternListPath) + " line " + std::to_string(line) + ": " + what;
            std::printf("%s\n", problem.c_str());
            if (problems) problems->push_back(problem);
        };
        // Kept, so nothing is lost: the operator renames it.
        if (entry.name.find(',') != std::string::npos)
            report("the name \"" + entry.name +
                   "\" contains a comma, at which clients split report lines; "
                   "the pattern is loaded, rename it without commas");
        // A line deleted or moved by hand renumbers every row after it.
        if (!sameFile(storedPath, entry.path))
            report("pattern " + std::to_string(entry.index) + " \"" + entry.name + "\" names " + storedPath +
                   ", but a row always loads the files of its number: " + entry.path +
                   " is loaded; was a line deleted or moved?");
        catalogue.push_back(entry);
    }
    return 0;
}

int storedPatternCount() {
    std::string text, reason;
    readWholeFile(kPatternListPath, text, reason);
    std::istringstream in(text);
    int count = 0;
    std::string word;
    while (in >> word) count += word == "[Pattern]";
    return count;
}

int SavePatternList(const Catalogue& catalogue, std::string* error) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    for (size_t i = 0; i < catalogue.size(); ++i) {
        const PatternEntry& entry = catalogue[i];
        out << "[Pattern]\t" << entry.name << '\t' << patternFilePath(static_cast<int>(i)) << '\t'
            << entry.width << '\t' << (entry.inUse ? "use" : "not_use") << '\n';
    }
    std::string why;
    if (writeTextFileReplacing(kPatternListPath, out.str(), why)) return 0;
    if (error) *error = why;
    return -1;
}

void CatalogueFromList(const std::vector<PatternRow>& rows, Catalogue& catalogue) {
    catalogue.clear();
    for (size_t i = 0; i < rows.size(); ++i) {
        PatternEntry entry;
        entry.index = static_cast<int>(i);
        entry.name = rows[i].name;
        entry.path = patternFilePath(entry.index);
        entry.inUse = rows[i].checked;
        std::istringstream width(rows[i].widthText);
        width.imbue(std::locale::classic());
        if (!(width >> entry.width)) entry.width = 0.0;
        catalogue.push_back(entry);
    }
}

PatternRow rowFromEntry(const PatternEntry& entry) {
    return PatternRow{entry.name, formatWidthText(entry.width), entry.inUse};
}

