#pragma once
// Every number that leaves the system about a marker leaves it as one line
// built here: the TCP report, the dialog's Output box and the field legend.
// All numbers carry a point as decimal separator whatever the locale.
#include <cstddef>
#include <cstdint>
#include <string>
#include "marker_result.h"

// Which fields a report line carries (non-zero is on). The declaration order
// is the order of the settings; the order on a line is fixed by
// formatMarkerLine. Always passed by value, so a selection change never
// shows half-way through a report.
struct DataFormat {
    int32_t CheckName = 0;
    int32_t CheckPos2d = 0;
    int32_t CheckDvec = 0;
    int32_t CheckPos3d = 0;
    int32_t CheckGLmatrix = 0;
    int32_t CheckCf = 0;
    int32_t CheckArea = 0;
    int32_t CheckVertex = 0;
};

// Longest texts that clients and the dialog ever get (a report line without
// its line end); longer ones are cut at the limit.
constexpr std::size_t REPORT_LINE_MAX = 1023;
constexpr std::size_t LEGEND_MAX = 511;
constexpr std::size_t OUTPUT_TEXT_MAX = 2047;

// One marker's line, without a line end.
std::string formatMarkerLine(const MarkerResult& result, DataFormat format);

// The labels of the selected fields in line order, e.g. "<name>,<px>,<py>".
std::string formatLegend(DataFormat format);

// "Num= n\n" followed by one line per entry: what "all" and Automatic Mode send.
std::string allReportText(const ResultTable& table, DataFormat format);

// The same for the entries whose name equals `name` byte for byte ("get").
std::string namedReportText(const ResultTable& table, const std::string& name, DataFormat format);

// "Num= n\r\n" and the lines ended by "\r\n", for the dialog's Output box.
std::string outputBoxText(const ResultTable& table, DataFormat format);

DataFormat allFields();

// Reads a --fields value: a comma list of name, pos2d, dvec, pos3d,
// glmatrix, cf, area, vertex, or the single word all. On an unknown word
// returns false and names it in `error`.
bool parseFieldList(const std::string& list, DataFormat& format, std::string& error);
