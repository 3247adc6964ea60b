// The catalogue file: exact bytes written, tolerant word reading, the rows
// the operator edits, and names that cannot survive the word format.
#include <gtest/gtest.h>
#include <filesystem>
#include "catalogue.h"
#include "temp_dir.h"

namespace {

PatternEntry entry(int index, const std::string& name, double width, bool inUse) {
    PatternEntry e;
    e.index = index;
    e.name = name;
    e.path = patternFilePath(index);
    e.width = width;
    e.inUse = inUse;
    return e;
}

} // namespace

TEST(CatalogueFile, WritesTabSeparatedLinesWithShortestWidths) {
    TempDir dir;
    dir.enterWithData();
    ASSERT_EQ(SavePatternList({entry(0, "P000", 80.0, true), entry(1, "Kite", 62.5, false),
                               entry(2, "Tiny", 0.123456789, true)}),
              0);
    EXPECT_EQ(readFile("Data/pattern_list.txt"),
              "[Pattern]\tP000\tData/000.patt\t80\tuse\n"
              "[Pattern]\tKite\tData/001.patt\t62.5\tnot_use\n"
              "[Pattern]\tTiny\tData/002.patt\t0.123457\tuse\n");
}

TEST(CatalogueFile, RoundTripKeepsRowsNamesWidthsAndChecks) {
    TempDir dir;
    dir.enterWithData();
    const Catalogue saved = {entry(0, "A", 80.0, true), entry(1, "B", 62.5, false), entry(2, "C", 120.25, true)};
    ASSERT_EQ(SavePatternList(saved), 0);
    Catalogue loaded = {entry(0, "stale", 1.0, false)};
    ASSERT_EQ(LoadPatternList(loaded), 0);
    ASSERT_EQ(loaded.size(), saved.size());
    for (size_t i = 0; i < saved.size(); ++i) {
        EXPECT_EQ(loaded[i].index, static_cast<int>(i));
        EXPECT_EQ(loaded[i].name, saved[i].name);
        EXPECT_EQ(loaded[i].path, saved[i].path);
        EXPECT_DOUBLE_EQ(loaded[i].width, saved[i].width);
        EXPECT_EQ(loaded[i].inUse, saved[i].inUse);
    }
}

TEST(CatalogueFile, ReadsWordsWhateverTheLayoutAndNumbersFromTheEntries) {
    TempDir dir;
    dir.enterWithData();
    writeFile("Data/pattern_list.txt",
              "stray words [Pattern] First Data/777.patt\r\n  40 use\n\n"
              "[Pattern]\nSecond\nelsewhere.patt\n55.5\nunused\r\n");
    Catalogue loaded;
    ASSERT_EQ(LoadPatternList(loaded), 0);
    ASSERT_EQ(loaded.size(), 2u);
    EXPECT_EQ(loaded[0].name, "First");
    EXPECT_DOUBLE_EQ(loaded[0].width, 40.0);
    EXPECT_TRUE(loaded[0].inUse);
    // A row's files are those of its number, not the stored path.
    EXPECT_EQ(loaded[0].path, "Data/000.patt");
    EXPECT_EQ(loaded[1].index, 1);
    EXPECT_EQ(loaded[1].path, "Data/001.patt");
    EXPECT_FALSE(loaded[1].inUse) << "only the word \"use\" puts a pattern in use";
}

TEST(CatalogueFile, WidthThatIsNotANumberEndsTheReading) {
    TempDir dir;
    dir.enterWithData();
    writeFile("Data/pattern_list.txt",
              "[Pattern]\tA\tData/000.patt\t80\tuse\n"
              "[Pattern]\tB\tData/001.patt\twide\tuse\n"
              "[Pattern]\tC\tData/002.patt\t70\tuse\n");
    Catalogue loaded;
    ASSERT_EQ(LoadPatternList(loaded), 0);
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded[0].name, "A");
}

// Rows a hand made doubtful are loaded as they stand, each with a message
// naming its line: a comma in a name, a file column naming another number.
TEST(CatalogueFile, DoubtfulRowsLoadWithAMessageNamingTheirLines) {
    TempDir dir;
    dir.enterWithData();
    writeFile("Data/pattern_list.txt",
              "[Pattern]\tA\tData/000.patt\t80\tuse\n"
              "[Pattern]\n  Kite,2\tData/001.patt\t50\tnot_use\n"
              "\n[Pattern]\t,\tData/002.patt\t70\tuse\n"
              "[Pattern]\tHook\tData/004.patt\t60\tuse\n"
              "[Pattern]\tFlag\t./Data\\004.patt\t60\tuse\n");
    Catalogue loaded;
    std::vector<std::string> problems;
    testing::internal::CaptureStdout();
    ASSERT_EQ(LoadPatternList(loaded, &problems), 0);
    const std::string printed = testing::internal::GetCapturedStdout();
    ASSERT_EQ(loaded.size(), 5u) << "nothing is lost";
    EXPECT_EQ(loaded[1].name, "Kite,2");
    EXPECT_FALSE(loaded[1].inUse);
    EXPECT_DOUBLE_EQ(loaded[2].width, 70.0);
    EXPECT_EQ(loaded[3].path, "Data/003.patt") << "a row loads the files of its number";
    const std::vector<std::string> expected = {
        "Data/pattern_list.txt line 3: the name \"Kite,2\" contains a comma",
        "Data/pattern_list.txt line 5: the name \",\"",
        "Data/pattern_list.txt line 6: pattern 3 \"Hook\" names Data/004.patt, but a row always loads the files "
        "of its number: Data/003.patt is loaded; was a line deleted or moved?",
    };
    ASSERT_EQ(problems.size(), expected.size()) << printed;
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(problems[i].rfind(expected[i], 0), 0u) << problems[i];
    EXPECT_EQ(printed, problems[0] + "\n" + problems[1] + "\n" + problems[2] + "\n");
}

TEST(CatalogueFile, MissingFileLeavesTheCatalogueAsItWas) {
    TempDir dir;
    dir.enterWithData();
    Catalogue catalogue = {entry(0, "Kept", 80.0, true)};
    testing::internal::CaptureStdout();
    EXPECT_EQ(LoadPatternList(catalogue), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Data/pattern_list.txt can not open.\n");
    ASSERT_EQ(catalogue.size(), 1u);
    EXPECT_EQ(catalogue[0].name, "Kept");
}

TEST(CatalogueFile, SaveFailsWhenTheFileCannotBeCreated) {
    TempDir dir;
    dir.enterWithData();
    std::filesystem::remove_all("Data");
    EXPECT_EQ(SavePatternList({entry(0, "A", 80.0, true)}), -1);
}

TEST(CatalogueRows, WidthsKeepOneDecimalThroughTheList) {
    Catalogue catalogue;
    CatalogueFromList({{"A", formatWidthText(62.54), true}, {"B", "80.0", false}, {"C", "not a width", true}},
                      catalogue);
    ASSERT_EQ(catalogue.size(), 3u);
    EXPECT_DOUBLE_EQ(catalogue[0].width, 62.5);
    EXPECT_EQ(catalogue[1].index, 1);
    EXPECT_EQ(catalogue[1].path, "Data/001.patt");
    EXPECT_FALSE(catalogue[1].inUse);
    EXPECT_DOUBLE_EQ(catalogue[2].width, 0.0);
    const PatternRow row = rowFromEntry(catalogue[0]);
    EXPECT_EQ(row.widthText, "62.5");
    EXPECT_TRUE(row.checked);
}

TEST(CatalogueRows, FilePathsArePaddedToThreeDigitsAtLeast) {
    EXPECT_EQ(patternFilePath(0), "Data/000.patt");
    EXPECT_EQ(patternFilePath(42), "Data/042.patt");
    EXPECT_EQ(patternFilePath(1234), "Data/1234.patt");
    EXPECT_EQ(thumbnailFilePath(7), "Data/007.jpg");
}

TEST(PatternNames, EmptyOrWhiteSpaceOrCommaNamesAreRefused) {
    EXPECT_EQ(patternNameProblem("P003"), nullptr);
    EXPECT_EQ(patternNameProblem("x;y"), nullptr);
    EXPECT_NE(patternNameProblem("x,y"), nullptr);
    EXPECT_NE(patternNameProblem(","), nullptr);
    EXPECT_NE(patternNameProblem(""), nullptr);
    EXPECT_NE(patternNameProblem("two words"), nullptr);
    EXPECT_NE(patternNameProblem("tab\there"), nullptr);
    EXPECT_NE(patternNameProblem("line\n"), nullptr);
}
