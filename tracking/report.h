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
    // Beyond the eight: a "Stamp= <frame> <time>" line before the header of
    // every report, so clients can fuse poses with other sensors by time.
    int32_t CheckStamp = 0;
};

// When the frame behind a report was taken: `frame` counts the frames since
// Start from 1 (0: no frame yet), `captureTime` is the wall clock in seconds
// since 1970 when its grab returned.
struct FrameStamp {
    uint64_t frame = 0;
    double captureTime = 0.0;
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

// The legend box: "Num= <count>\r\n" and the legend line, after the stamp
// line's labels when the stamp is selected.
std::string legendBoxText(DataFormat format);

// "Stamp= <frame> <time>" without a line end; time with six decimals.
std::string formatStampLine(FrameStamp stamp);

// "Num= n\n" followed by one line per entry: what "all" and Automatic Mode
// send. With CheckStamp on, the stamp line comes first.
std::string allReportText(const ResultTable& table, DataFormat format, FrameStamp stamp = {});

// The same for the entries whose name equals `name` byte for byte ("get").
std::string namedReportText(const ResultTable& table, const std::string& name, DataFormat format,
                            FrameStamp stamp = {});

// "Num= n\r\n" and the lines ended by "\r\n", for the dialog's Output box.
std::string outputBoxText(const ResultTable& table, DataFormat format, FrameStamp stamp = {});

// The eight specified fields; the stamp stays off.
DataFormat allFields();

// One of the eight report fields, with everything that names it: the line
// and the legend take their pieces from here, --fields its word, the
// settings file its key and the dialog its check box. A field is added or
// renamed in this table alone.
struct ReportField {
    int32_t DataFormat::*check;  // the switch that selects it
    const char* word;            // in a --fields list
    const char* key;             // in Data/config.txt
    const char* caption;         // the dialog's check box
    const char* controlId;       // the check box's object name
    const char* labels;          // its part of the legend
    // Its place among the eight keys in the settings file, whose order
    // (Cf before Area) is not the line's.
    int keyPlace;
    // Appends its values, joined by ",", to a report line.
    void (*appendValues)(std::string& line, const MarkerResult& result);
};

constexpr int REPORT_FIELD_COUNT = 8;
// In line order: the order of a report line, of the legend, of a --fields
// list as written back and of the dialog's check boxes.
extern const ReportField REPORT_FIELDS[REPORT_FIELD_COUNT];
// The field whose key comes `place`-th (0 to 7) in the settings file.
const ReportField& reportFieldByKeyPlace(int place);

// Reads a --fields value: a comma list of the fields' words and stamp,
// where all stands for the eight marker fields and none for no field at all. On an unknown word returns
// false and names it in `error`.
bool parseFieldList(const std::string& list, DataFormat& format, std::string& error);

// The --fields value that selects `format`: "all", "none", or the words of
// the selected fields in line order, with ",stamp" when the stamp is on.
std::string formatFieldList(DataFormat format);
