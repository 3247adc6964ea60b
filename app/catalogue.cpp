#include "catalogue.h"
#include <cstdio>
#include <fstream>
#include <locale>
#include <sstream>

namespace {

const char* const kPatternListPath = "Data/pattern_list.txt";

} // namespace

std::string thumbnailFilePath(int index) {
    char path[32];
    std::snprintf(path, sizeof path, "Data/%03d.jpg", index);
    return path;
}

std::string formatWidthText(double widthMm) {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text.setf(std::ios::fixed);
    text.precision(1);
    text << widthMm;
    return text.str();
}

const char* patternNameProblem(const std::string& name) {
    if (name.empty()) return "a pattern name must not be empty";
    for (char c : name) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f')
            return "a pattern name must not contain white space";
    }
    return nullptr;
}

int LoadPatternList(Catalogue& catalogue) {
    std::ifstream in(kPatternListPath);
    if (!in) {
        std::printf("%s can not open.\n", kPatternListPath);
        return -1;
    }
    // Qt sets the process locale from the environment; the file always uses
    // a decimal point.
    in.imbue(std::locale::classic());
    catalogue.clear();
    std::string word;
    while (in >> word) {
        if (word != "[Pattern]") continue;
        PatternEntry entry;
        std::string storedPath, status;
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
        catalogue.push_back(entry);
    }
    return 0;
}

int storedPatternCount() {
    std::ifstream in(kPatternListPath);
    int count = 0;
    std::string word;
    while (in >> word) count += word == "[Pattern]";
    return count;
}

int SavePatternList(const Catalogue& catalogue) {
    std::ofstream out(kPatternListPath, std::ios::trunc);
    if (!out) return -1;
    out.imbue(std::locale::classic());
    for (size_t i = 0; i < catalogue.size(); ++i) {
        const PatternEntry& entry = catalogue[i];
        out << "[Pattern]\t" << entry.name << '\t' << patternFilePath(static_cast<int>(i)) << '\t'
            << entry.width << '\t' << (entry.inUse ? "use" : "not_use") << '\n';
    }
    out.close();
    return out ? 0 : -1;
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

