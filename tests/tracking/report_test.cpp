// The report text: exact bytes of lines, headers, the Output box and the legend.
#include <gtest/gtest.h>
#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include "report.h"
#include "temp_dir.h"

namespace {

MarkerResult facingMarker() {
    MarkerResult r;
    r.name = "A";
    r.px = 320.4;
    r.py = 240.6;
    r.dx = 0;
    r.dy = -1;
    r.X = 12.345678;
    r.Y = -3.21;
    r.Z = 512;
    r.area = 1234;
    r.cf = 0.876543;
    const double v[4][2] = {{300, 220}, {340, 220}, {340, 260}, {300, 260}};
    for (int k = 0; k < 4; ++k) {
        r.vertex[k][0] = v[k][0];
        r.vertex[k][1] = v[k][1];
    }
    const double m[16] = {1, 0, 0, 0, 0, -1, 0, 0, 0, 0, -1, 0, 12.345678, -3.21, 512, 1};
    for (int e = 0; e < 16; ++e) r.glMatrix[e] = m[e];
    return r;
}

const char* const FacingLine =
    "A,320,240,0.000000,-1.000000,12.345678,-3.210000,512.000000,1234,0.876543,"
    "300.000000,220.000000,340.000000,220.000000,340.000000,260.000000,300.000000,260.000000,"
    "1.000000,0.000000,0.000000,0.000000,0.000000,-1.000000,0.000000,0.000000,0.000000,0.000000,"
    "-1.000000,0.000000,12.345678,-3.210000,512.000000,1.000000";

DataFormat only(int32_t DataFormat::*field) {
    DataFormat f;
    f.*field = 1;
    return f;
}

}  // namespace

TEST(ReportLine, NamePositionAndConfidenceExample) {
    MarkerResult r;
    r.name = "A";
    r.px = 320.7;
    r.py = 240.2;
    r.cf = 0.875;
    DataFormat f;
    f.CheckName = f.CheckPos2d = f.CheckCf = 1;
    EXPECT_EQ(formatMarkerLine(r, f), "A,320,240,0.875000");
    EXPECT_EQ(allReportText({r}, f), "Num= 1\nA,320,240,0.875000\n");
    EXPECT_EQ(namedReportText({r}, "A", f), "Num= 1\nA,320,240,0.875000\n");
}

TEST(ReportLine, AllFieldsInFixedOrderWithThirtyFourValues) {
    const std::string line = formatMarkerLine(facingMarker(), allFields());
    EXPECT_EQ(line, FacingLine);
    EXPECT_EQ(std::count(line.begin(), line.end(), ','), 33);
}

TEST(ReportLine, EachFieldAloneHasNoLeadingComma) {
    const MarkerResult r = facingMarker();
    EXPECT_EQ(formatMarkerLine(r, only(&DataFormat::CheckName)), "A");
    EXPECT_EQ(formatMarkerLine(r, only(&DataFormat::CheckPos2d)), "320,240");
    EXPECT_EQ(formatMarkerLine(r, only(&DataFormat::CheckDvec)), "0.000000,-1.000000");
    EXPECT_EQ(formatMarkerLine(r, only(&DataFormat::CheckPos3d)), "12.345678,-3.210000,512.000000");
    EXPECT_EQ(formatMarkerLine(r, only(&DataFormat::CheckArea)), "1234");
    EXPECT_EQ(formatMarkerLine(r, only(&DataFormat::CheckCf)), "0.876543");
    EXPECT_EQ(formatMarkerLine(r, only(&DataFormat::CheckVertex)),
              "300.000000,220.000000,340.000000,220.000000,340.000000,260.000000,300.000000,260.000000");
    EXPECT_EQ(formatMarkerLine(r, only(&DataFormat::CheckGLmatrix)).substr(0, 18), "1.000000,0.000000,");
}

TEST(ReportLine, CentreIsTruncatedTowardZero) {
    MarkerResult r;
    r.px = 320.9;
    r.py = -0.7;
    EXPECT_EQ(formatMarkerLine(r, only(&DataFormat::CheckPos2d)), "320,0");
    r.px = -12.9;
    r.py = 0.999;
    EXPECT_EQ(formatMarkerLine(r, only(&DataFormat::CheckPos2d)), "-12,0");
}

TEST(ReportLine, CentreOutsideIntRangeOrNaNStaysDefined) {
    MarkerResult r;
    r.px = 1e300;
    r.py = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(formatMarkerLine(r, only(&DataFormat::CheckPos2d)), "2147483647,0");
    r.px = -1e300;
    r.py = -std::numeric_limits<double>::infinity();
    EXPECT_EQ(formatMarkerLine(r, only(&DataFormat::CheckPos2d)), "-2147483648,-2147483648");
}

TEST(ReportLine, NamesAreWrittenVerbatim) {
    MarkerResult r;
    r.name = "a,b c";
    r.area = 7;
    DataFormat f;
    f.CheckName = f.CheckArea = 1;
    EXPECT_EQ(formatMarkerLine(r, f), "a,b c,7");
}

TEST(ReportLine, EveryFieldOffGivesEmptyLines) {
    const ResultTable table{facingMarker()};
    EXPECT_EQ(formatMarkerLine(table[0], DataFormat{}), "");
    EXPECT_EQ(allReportText(table, DataFormat{}), "Num= 1\n\n");
}

TEST(ReportLine, OverlongLineIsCutAtTheLimit) {
    MarkerResult r = facingMarker();
    r.name = std::string(2000, 'n');
    EXPECT_EQ(formatMarkerLine(r, allFields()), std::string(REPORT_LINE_MAX, 'n'));
    r.name = "A";
    r.X = 1e308;  // 309 digits in fixed notation
    r.Y = -1e308;
    r.Z = 1e308;
    const std::string line = formatMarkerLine(r, allFields());
    EXPECT_EQ(line.size(), REPORT_LINE_MAX);
    EXPECT_EQ(line.substr(0, 12), "A,320,240,0.");
    EXPECT_EQ(allReportText({r}, allFields()), "Num= 1\n" + line + "\n");
}

TEST(ReportLine, DecimalPointDoesNotFollowTheLocale) {
    // A GUI toolkit sets the user's locale; a decimal comma must not leak
    // into the wire text. The locale is built here, so no installed one is needed.
    TempDir locales;
    const std::string command =
        "localedef -i de_DE -f UTF-8 " + locales.file("de_DE.UTF-8") + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) GTEST_SKIP() << "localedef cannot build de_DE";
    setenv("LOCPATH", locales.path().c_str(), 1);
    ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 1.5);
    const std::string line = formatMarkerLine(facingMarker(), allFields());
    std::setlocale(LC_NUMERIC, "C");
    unsetenv("LOCPATH");
    ASSERT_STREQ(probe, "1,5");
    EXPECT_EQ(line, FacingLine);
}

TEST(Reports, EmptyTableGivesOnlyTheHeader) {
    EXPECT_EQ(allReportText({}, allFields()), "Num= 0\n");
    EXPECT_EQ(namedReportText({}, "P003", allFields()), "Num= 0\n");
    EXPECT_EQ(outputBoxText({}, allFields()), "Num= 0\r\n");
}

TEST(Reports, NamedReportCountsExactMatchesInTableOrder) {
    MarkerResult a1, b, a2;
    a1.name = "P003";
    a1.area = 1;
    b.name = "p003";
    b.area = 2;
    a2.name = "P003";
    a2.area = 3;
    const ResultTable table{a1, b, a2};
    const DataFormat f = only(&DataFormat::CheckArea);
    EXPECT_EQ(namedReportText(table, "P003", f), "Num= 2\n1\n3\n");
    EXPECT_EQ(namedReportText(table, "P00", f), "Num= 0\n");
    EXPECT_EQ(namedReportText(table, "", f), "Num= 0\n");
    EXPECT_EQ(allReportText(table, f), "Num= 3\n1\n2\n3\n");
}

TEST(Reports, OutputBoxUsesCarriageReturnLineEndsAndStopsAtItsLimit) {
    MarkerResult a, b;
    a.name = "A";
    b.name = "B";
    EXPECT_EQ(outputBoxText({a, b}, only(&DataFormat::CheckName)), "Num= 2\r\nA\r\nB\r\n");

    const ResultTable many(20, facingMarker());
    const std::string full = "Num= 20\r\n" + std::string(FacingLine) + "\r\n";
    const std::string text = outputBoxText(many, allFields());
    EXPECT_EQ(text.size(), OUTPUT_TEXT_MAX);
    EXPECT_EQ(text.substr(0, full.size()), full);
}

TEST(Legend, FieldLabelsFollowTheLineOrder) {
    EXPECT_EQ(formatLegend(allFields()),
              "<name>,<px>,<py>,<dx>,<dy>,<X>,<Y>,<Z>,<area>,<cf>,<vx0>,<vy0>,<vx1>,<vy1>,<vx2>,<vy2>,"
              "<vx3>,<vy3>,<m11>,<m21>,<m31>,<m41>,<m12>,<m22>,<m32>,<m42>,<m13>,<m23>,<m33>,<m43>,"
              "<m14>,<m24>,<m34>,<m44>");
    EXPECT_EQ(formatLegend(DataFormat{}), "");
    DataFormat f;
    f.CheckCf = f.CheckPos3d = 1;
    EXPECT_EQ(formatLegend(f), "<X>,<Y>,<Z>,<cf>");
    EXPECT_EQ(formatLegend(only(&DataFormat::CheckGLmatrix)).substr(0, 12), "<m11>,<m21>,");
}

TEST(FieldList, WordsSetTheirSwitches) {
    DataFormat f;
    std::string error;
    ASSERT_TRUE(parseFieldList("cf,name,vertex", f, error));
    EXPECT_EQ(formatLegend(f), "<name>,<cf>,<vx0>,<vy0>,<vx1>,<vy1>,<vx2>,<vy2>,<vx3>,<vy3>");
    ASSERT_TRUE(parseFieldList("pos2d,dvec,pos3d,glmatrix,area", f, error));
    EXPECT_EQ(f.CheckName, 0);
    EXPECT_EQ(f.CheckGLmatrix, 1);
    EXPECT_EQ(f.CheckArea, 1);
    ASSERT_TRUE(parseFieldList("all", f, error));
    EXPECT_EQ(formatLegend(f), formatLegend(allFields()));
}

TEST(FieldList, UnknownWordsAreRejectedAndLeaveTheFormat) {
    DataFormat f;
    f.CheckArea = 1;
    std::string error;
    EXPECT_FALSE(parseFieldList("name,size", f, error));
    EXPECT_EQ(error, "unknown field \"size\"");
    EXPECT_FALSE(parseFieldList("name,", f, error));
    EXPECT_FALSE(parseFieldList("", f, error));
    EXPECT_FALSE(parseFieldList("Name", f, error));
    EXPECT_FALSE(parseFieldList("all,name", f, error));
    EXPECT_EQ(f.CheckArea, 1);
    EXPECT_EQ(f.CheckName, 0);
}

TEST(Stamp, ALineBeforeTheHeaderOfEveryReportWhenSelectedOnly) {
    const ResultTable table{facingMarker()};
    const FrameStamp stamp{42, 1796650000.25};
    DataFormat on;
    on.CheckName = on.CheckStamp = 1;
    EXPECT_EQ(allReportText(table, on, stamp), "Stamp= 42 1796650000.250000\nNum= 1\nA\n");
    EXPECT_EQ(namedReportText(table, "B", on, stamp), "Stamp= 42 1796650000.250000\nNum= 0\n");
    EXPECT_EQ(outputBoxText(table, on, stamp), "Stamp= 42 1796650000.250000\r\nNum= 1\r\nA\r\n");
    EXPECT_EQ(legendBoxText(on), "Stamp= <frame> <time>\r\nNum= <count>\r\n<name>");
    EXPECT_EQ(formatMarkerLine(table[0], on), "A") << "the stamp is never a field of the line";

    DataFormat off;
    off.CheckName = 1;
    EXPECT_EQ(allReportText(table, off, stamp), "Num= 1\nA\n");
    EXPECT_EQ(namedReportText(table, "A", off, stamp), "Num= 1\nA\n");
    EXPECT_EQ(outputBoxText(table, off, stamp), "Num= 1\r\nA\r\n");
    EXPECT_EQ(legendBoxText(off), "Num= <count>\r\n<name>");
}

TEST(FieldList, StampAllAndNoneRoundTripThroughTheirWords) {
    const struct {
        const char* given;
        const char* canonical;  // formatFieldList of what was read
    } cases[] = {
        {"none", "none"},           {"stamp", "stamp"},         {"none,stamp", "stamp"},
        {"all", "all"},             {"stamp,all", "all,stamp"}, {"cf,stamp,name", "name,cf,stamp"},
        {"vertex,glmatrix,area,cf,pos3d,dvec,pos2d,name", "all"},
    };
    for (const auto& c : cases) {
        DataFormat f;
        f.CheckArea = 1;
        std::string error;
        ASSERT_TRUE(parseFieldList(c.given, f, error)) << c.given << ": " << error;
        EXPECT_EQ(formatFieldList(f), c.canonical) << c.given;
        DataFormat again;
        ASSERT_TRUE(parseFieldList(formatFieldList(f), again, error));
        EXPECT_EQ(formatLegend(again), formatLegend(f)) << c.given;
        EXPECT_EQ(again.CheckStamp, f.CheckStamp) << c.given;
    }
    DataFormat f;
    std::string error;
    for (const char* bad : {"none,name", "all,none", "all,all", "stamp,Stamp", "stamps"})
        EXPECT_FALSE(parseFieldList(bad, f, error)) << bad;
    EXPECT_EQ(allFields().CheckStamp, 0) << "all keeps reports as specified";
}
