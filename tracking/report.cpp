#include "report.h"
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <utility>

namespace {

// "%lf": fixed notation, six decimals. to_chars never consults the locale,
// unlike printf once a GUI toolkit has called setlocale.
void appendFixed(std::string& out, double value) {
    char buf[400];  // 1e308 in fixed notation needs 309 digits plus decimals
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 6);
    if (res.ec == std::errc()) out.append(buf, res.ptr);
}

void appendInt(std::string& out, long long value) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, res.ptr);
}

// Truncation toward zero as a C cast does it, but defined for every double:
// NaN becomes 0 and values beyond int are held at its limits.
long long truncToInt(double value) {
    if (std::isnan(value)) return 0;
    if (value >= static_cast<double>(INT_MAX)) return INT_MAX;
    if (value <= static_cast<double>(INT_MIN)) return INT_MIN;
    return static_cast<int>(value);
}

void separate(std::string& out) {
    if (!out.empty()) out += ',';
}

void cutAt(std::string& text, std::size_t limit) {
    if (text.size() > limit) text.resize(limit);
}

// The stamp line (when selected) and "Num= n", each ended by `lineEnd`.
void appendHeader(std::string& out, DataFormat format, FrameStamp stamp, std::size_t count,
                  const char* lineEnd) {
    if (format.CheckStamp) {
        out += formatStampLine(stamp);
        out += lineEnd;
    }
    out += "Num= ";
    appendInt(out, static_cast<long long>(count));
    out += lineEnd;
}

}  // namespace

std::string formatMarkerLine(const MarkerResult& result, DataFormat format) {
    std::string line;
    line.reserve(512);
    if (format.CheckName) {
        separate(line);
        line += result.name;
    }
    if (format.CheckPos2d) {
        separate(line);
        appendInt(line, truncToInt(result.px));
        line += ',';
        appendInt(line, truncToInt(result.py));
    }
    if (format.CheckDvec) {
        separate(line);
        appendFixed(line, result.dx);
        line += ',';
        appendFixed(line, result.dy);
    }
    if (format.CheckPos3d) {
        separate(line);
        appendFixed(line, result.X);
        line += ',';
        appendFixed(line, result.Y);
        line += ',';
        appendFixed(line, result.Z);
    }
    if (format.CheckArea) {
        separate(line);
        appendInt(line, result.area);
    }
    if (format.CheckCf) {
        separate(line);
        appendFixed(line, result.cf);
    }
    if (format.CheckVertex) {
        separate(line);
        for (int k = 0; k < 4; ++k) {
            if (k) line += ',';
            appendFixed(line, result.vertex[k][0]);
            line += ',';
            appendFixed(line, result.vertex[k][1]);
        }
    }
    if (format.CheckGLmatrix) {
        separate(line);
        for (int e = 0; e < 16; ++e) {
            if (e) line += ',';
            appendFixed(line, result.glMatrix[e]);
        }
    }
    cutAt(line, REPORT_LINE_MAX);
    return line;
}

std::string formatLegend(DataFormat format) {
    std::string legend;
    if (format.CheckName) {
        separate(legend);
        legend += "<name>";
    }
    if (format.CheckPos2d) {
        separate(legend);
        legend += "<px>,<py>";
    }
    if (format.CheckDvec) {
        separate(legend);
        legend += "<dx>,<dy>";
    }
    if (format.CheckPos3d) {
        separate(legend);
        legend += "<X>,<Y>,<Z>";
    }
    if (format.CheckArea) {
        separate(legend);
        legend += "<area>";
    }
    if (format.CheckCf) {
        separate(legend);
        legend += "<cf>";
    }
    if (format.CheckVertex) {
        for (int k = 0; k < 4; ++k) {
            separate(legend);
            legend += "<vx" + std::to_string(k) + ">,<vy" + std::to_string(k) + ">";
        }
    }
    if (format.CheckGLmatrix) {
        // Column-major storage: element e sits in row e%4, column e/4.
        for (int e = 0; e < 16; ++e) {
            separate(legend);
            legend += "<m" + std::to_string(e % 4 + 1) + std::to_string(e / 4 + 1) + ">";
        }
    }
    cutAt(legend, LEGEND_MAX);
    return legend;
}

std::string legendBoxText(DataFormat format) {
    std::string text = format.CheckStamp ? "Stamp= <frame> <time>\r\n" : "";
    text += "Num= <count>\r\n" + formatLegend(format);
    cutAt(text, LEGEND_MAX);
    return text;
}

std::string formatStampLine(FrameStamp stamp) {
    std::string line = "Stamp= ";
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, stamp.frame);
    line.append(buf, res.ptr);
    line += ' ';
    appendFixed(line, stamp.captureTime);
    return line;
}

std::string allReportText(const ResultTable& table, DataFormat format, FrameStamp stamp) {
    std::string text;
    appendHeader(text, format, stamp, table.size(), "\n");
    for (const MarkerResult& result : table) {
        text += formatMarkerLine(result, format);
        text += '\n';
    }
    return text;
}

std::string namedReportText(const ResultTable& table, const std::string& name, DataFormat format,
                            FrameStamp stamp) {
    std::size_t count = 0;
    std::string lines;
    for (const MarkerResult& result : table) {
        if (result.name != name) continue;
        ++count;
        lines += formatMarkerLine(result, format);
        lines += '\n';
    }
    std::string text;
    appendHeader(text, format, stamp, count, "\n");
    return text + lines;
}

std::string outputBoxText(const ResultTable& table, DataFormat format, FrameStamp stamp) {
    std::string text;
    appendHeader(text, format, stamp, table.size(), "\r\n");
    for (const MarkerResult& result : table) {
        if (text.size() >= OUTPUT_TEXT_MAX) break;
        text += formatMarkerLine(result, format);
        text += "\r\n";
    }
    cutAt(text, OUTPUT_TEXT_MAX);
    return text;
}

DataFormat allFields() {
    return DataFormat{1, 1, 1, 1, 1, 1, 1, 1, 0};
}

// Switches the field `word` names on in `format`; false for an unknown word.
static bool selectField(const std::string& word, DataFormat& format) {
    static const struct {
        const char* word;
        int32_t DataFormat::*check;
    } fields[] = {
        {"name", &DataFormat::CheckName}, {"pos2d", &DataFormat::CheckPos2d},
        {"dvec", &DataFormat::CheckDvec}, {"pos3d", &DataFormat::CheckPos3d},
        {"glmatrix", &DataFormat::CheckGLmatrix}, {"cf", &DataFormat::CheckCf},
        {"area", &DataFormat::CheckArea}, {"vertex", &DataFormat::CheckVertex},
        {"stamp", &DataFormat::CheckStamp},
    };
    for (const auto& field : fields) {
        if (word != field.word) continue;
        format.*field.check = 1;
        return true;
    }
    return false;
}

bool parseFieldList(const std::string& list, DataFormat& format, std::string& error) {
    DataFormat parsed;
    // "all" (the eight marker fields) and "none" stand for the whole
    // selection; only the stamp, which is no marker field, may join them.
    std::string whole;
    int wholeWords = 0, fieldWords = 0;
    std::size_t begin = 0;
    while (begin <= list.size()) {
        std::size_t end = list.find(',', begin);
        if (end == std::string::npos) end = list.size();
        const std::string word = list.substr(begin, end - begin);
        if (word == "all" || word == "none") {
            whole = word;
            ++wholeWords;
        } else if (!selectField(word, parsed)) {
            error = "unknown field \"" + word + "\"";
            return false;
        } else if (word != "stamp") {
            ++fieldWords;
        }
        begin = end + 1;
    }
    if (wholeWords > 1 || (wholeWords == 1 && fieldWords > 0)) {
        error = "\"" + whole + "\" stands alone; only stamp may join it";
        return false;
    }
    if (whole == "all") parsed = DataFormat{1, 1, 1, 1, 1, 1, 1, 1, parsed.CheckStamp};
    format = parsed;
    return true;
}

std::string formatFieldList(DataFormat format) {
    std::string list;
    const std::pair<int32_t, const char*> inLineOrder[] = {
        {format.CheckName, "name"}, {format.CheckPos2d, "pos2d"}, {format.CheckDvec, "dvec"},
        {format.CheckPos3d, "pos3d"}, {format.CheckArea, "area"}, {format.CheckCf, "cf"},
        {format.CheckVertex, "vertex"}, {format.CheckGLmatrix, "glmatrix"},
    };
    int selected = 0;
    for (const auto& [on, word] : inLineOrder) {
        if (!on) continue;
        separate(list);
        list += word;
        ++selected;
    }
    if (selected == 8) list = "all";
    if (format.CheckStamp) {
        separate(list);
        list += "stamp";
    }
    return list.empty() ? "none" : list;
}
