#include "report.h"
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>

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

void appendFixedList(std::string& out, const double* values, int count) {
    for (int k = 0; k < count; ++k) {
        if (k) out += ',';
        appendFixed(out, values[k]);
    }
}

}  // namespace

const ReportField REPORT_FIELDS[REPORT_FIELD_COUNT] = {
    {&DataFormat::CheckName, "name", "[CheckName]", "Name", "1018", "<name>", 0,
     [](std::string& line, const MarkerResult& r) { line += r.name; }},
    {&DataFormat::CheckPos2d, "pos2d", "[CheckPos2d]", "Position in image (px, py)", "1019", "<px>,<py>", 1,
     [](std::string& line, const MarkerResult& r) {
         appendInt(line, truncToInt(r.px));
         line += ',';
         appendInt(line, truncToInt(r.py));
     }},
    {&DataFormat::CheckDvec, "dvec", "[CheckDvec]", "Direction vector (dx, dy)", "1022", "<dx>,<dy>", 2,
     [](std::string& line, const MarkerResult& r) {
         const double dvec[] = {r.dx, r.dy};
         appendFixedList(line, dvec, 2);
     }},
    {&DataFormat::CheckPos3d, "pos3d", "[CheckPos3d]", "Position in 3D space (X, Y, Z)", "1024", "<X>,<Y>,<Z>", 3,
     [](std::string& line, const MarkerResult& r) {
         const double pos3d[] = {r.X, r.Y, r.Z};
         appendFixedList(line, pos3d, 3);
     }},
    {&DataFormat::CheckArea, "area", "[CheckArea]", "Area in image", "1020", "<area>", 5,
     [](std::string& line, const MarkerResult& r) { appendInt(line, r.area); }},
    {&DataFormat::CheckCf, "cf", "[CheckCf]", "Confidence value (0.0 - 1.0)", "1021", "<cf>", 4,
     [](std::string& line, const MarkerResult& r) { appendFixed(line, r.cf); }},
    // Vertices in pattern order, x then y each.
    {&DataFormat::CheckVertex, "vertex", "[CheckVertex]", "Vertices in image (vx, vy)  x 4", "1023",
     "<vx0>,<vy0>,<vx1>,<vy1>,<vx2>,<vy2>,<vx3>,<vy3>", 6,
     [](std::string& line, const MarkerResult& r) { appendFixedList(line, &r.vertex[0][0], 8); }},
    // Column-major storage: element e sits in row e%4, column e/4.
    {&DataFormat::CheckGLmatrix, "glmatrix", "[CheckGLmatrix]", "OpenGL modelview matrix M[16]", "1025",
     "<m11>,<m21>,<m31>,<m41>,<m12>,<m22>,<m32>,<m42>,<m13>,<m23>,<m33>,<m43>,<m14>,<m24>,<m34>,<m44>", 7,
     [](std::string& line, const MarkerResult& r) { appendFixedList(line, r.glMatrix, 16); }},
};

const ReportField& reportFieldByKeyPlace(int place) {
    for (const ReportField& field : REPORT_FIELDS)
        if (field.keyPlace == place) return field;
    return REPORT_FIELDS[0];
}

std::string formatMarkerLine(const MarkerResult& result, DataFormat format) {
    std::string line;
    line.reserve(512);
    for (const ReportField& field : REPORT_FIELDS) {
        if (!(format.*field.check)) continue;
        separate(line);
        field.appendValues(line, result);
    }
    cutAt(line, REPORT_LINE_MAX);
    return line;
}

std::string formatLegend(DataFormat format) {
    std::string legend;
    for (const ReportField& field : REPORT_FIELDS) {
        if (!(format.*field.check)) continue;
        separate(legend);
        legend += field.labels;
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
    DataFormat format;
    for (const ReportField& field : REPORT_FIELDS) format.*field.check = 1;
    return format;
}

// Switches the field `word` names on in `format`; false for an unknown word.
static bool selectField(const std::string& word, DataFormat& format) {
    if (word == "stamp") {
        format.CheckStamp = 1;
        return true;
    }
    for (const ReportField& field : REPORT_FIELDS) {
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
    if (whole == "all") {
        const int32_t stamp = parsed.CheckStamp;
        parsed = allFields();
        parsed.CheckStamp = stamp;
    }
    format = parsed;
    return true;
}

std::string formatFieldList(DataFormat format) {
    std::string list;
    int selected = 0;
    for (const ReportField& field : REPORT_FIELDS) {
        if (!(format.*field.check)) continue;
        separate(list);
        list += field.word;
        ++selected;
    }
    if (selected == REPORT_FIELD_COUNT) list = "all";
    if (format.CheckStamp) {
        separate(list);
        list += "stamp";
    }
    return list.empty() ? "none" : list;
}

