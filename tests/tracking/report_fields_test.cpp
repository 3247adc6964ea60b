// The table of the eight report fields: each row names its switch, word,
// key, caption, control and legend labels, and writes its own values.
#include <gtest/gtest.h>
#include <set>
#include <string>
#include "report.h"

namespace {

MarkerResult sampleMarker() {
    MarkerResult r;
    r.name = "Kite";
    r.px = -0.7;
    r.py = 240.9;
    r.dx = 0.6;
    r.dy = -0.8;
    r.X = 1;
    r.Y = -2.5;
    r.Z = 1e3;
    r.area = 4321;
    r.cf = 0.5;
    for (int k = 0; k < 8; ++k) (&r.vertex[0][0])[k] = k + 0.25;
    for (int e = 0; e < 16; ++e) r.glMatrix[e] = e;
    return r;
}

struct Row {
    int32_t DataFormat::*check;
    const char* word;
    const char* key;
    const char* caption;
    const char* controlId;
    const char* labels;
    int keyPlace;
    const char* values;  // of sampleMarker
};

const Row kRows[] = {
    {&DataFormat::CheckName, "name", "[CheckName]", "Name", "1018", "<name>", 0, "Kite"},
    {&DataFormat::CheckPos2d, "pos2d", "[CheckPos2d]", "Position in image (px, py)", "1019", "<px>,<py>", 1,
     "0,240"},
    {&DataFormat::CheckDvec, "dvec", "[CheckDvec]", "Direction vector (dx, dy)", "1022", "<dx>,<dy>", 2,
     "0.600000,-0.800000"},
    {&DataFormat::CheckPos3d, "pos3d", "[CheckPos3d]", "Position in 3D space (X, Y, Z)", "1024", "<X>,<Y>,<Z>", 3,
     "1.000000,-2.500000,1000.000000"},
    {&DataFormat::CheckArea, "area", "[CheckArea]", "Area in image", "1020", "<area>", 5, "4321"},
    {&DataFormat::CheckCf, "cf", "[CheckCf]", "Confidence value (0.0 - 1.0)", "1021", "<cf>", 4, "0.500000"},
    {&DataFormat::CheckVertex, "vertex", "[CheckVertex]", "Vertices in image (vx, vy)  x 4", "1023",
     "<vx0>,<vy0>,<vx1>,<vy1>,<vx2>,<vy2>,<vx3>,<vy3>", 6,
     "0.250000,1.250000,2.250000,3.250000,4.250000,5.250000,6.250000,7.250000"},
    {&DataFormat::CheckGLmatrix, "glmatrix", "[CheckGLmatrix]", "OpenGL modelview matrix M[16]", "1025",
     "<m11>,<m21>,<m31>,<m41>,<m12>,<m22>,<m32>,<m42>,<m13>,<m23>,<m33>,<m43>,<m14>,<m24>,<m34>,<m44>", 7,
     "0.000000,1.000000,2.000000,3.000000,4.000000,5.000000,6.000000,7.000000,8.000000,9.000000,10.000000,"
     "11.000000,12.000000,13.000000,14.000000,15.000000"},
};

DataFormat only(int32_t DataFormat::*check) {
    DataFormat format;
    format.*check = 1;
    return format;
}

}  // namespace

// One row per field, in line order; each field alone gives its values, its
// labels, and its word both ways.
TEST(ReportFields, EachRowNamesItsFieldEverywhere) {
    static_assert(sizeof kRows / sizeof kRows[0] == REPORT_FIELD_COUNT);
    const MarkerResult marker = sampleMarker();
    for (int k = 0; k < REPORT_FIELD_COUNT; ++k) {
        const ReportField& field = REPORT_FIELDS[k];
        const Row& row = kRows[k];
        SCOPED_TRACE(row.word);
        EXPECT_TRUE(field.check == row.check);
        EXPECT_STREQ(field.word, row.word);
        EXPECT_STREQ(field.key, row.key);
        EXPECT_STREQ(field.caption, row.caption);
        EXPECT_STREQ(field.controlId, row.controlId);
        EXPECT_STREQ(field.labels, row.labels);
        EXPECT_EQ(field.keyPlace, row.keyPlace);
        EXPECT_TRUE(&reportFieldByKeyPlace(row.keyPlace) == &field);

        EXPECT_EQ(formatMarkerLine(marker, only(row.check)), row.values);
        EXPECT_EQ(formatLegend(only(row.check)), row.labels);
        DataFormat parsed;
        std::string error;
        ASSERT_TRUE(parseFieldList(row.word, parsed, error)) << error;
        for (const Row& other : kRows) EXPECT_EQ(parsed.*other.check, &other == &row ? 1 : 0) << other.word;
        EXPECT_EQ(formatFieldList(only(row.check)), row.word);
    }
}

TEST(ReportFields, TheWholeLineIsTheRowsInOrder) {
    const MarkerResult marker = sampleMarker();
    std::string line, legend;
    for (const Row& row : kRows) {
        line += std::string(line.empty() ? "" : ",") + row.values;
        legend += std::string(legend.empty() ? "" : ",") + row.labels;
    }
    EXPECT_EQ(formatMarkerLine(marker, allFields()), line);
    EXPECT_EQ(formatLegend(allFields()), legend);
    EXPECT_EQ(allFields().CheckStamp, 0);
    std::set<int> places;
    for (const ReportField& field : REPORT_FIELDS) places.insert(field.keyPlace);
    EXPECT_EQ(places, (std::set<int>{0, 1, 2, 3, 4, 5, 6, 7}));
}
