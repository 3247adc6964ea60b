// Loading catalogued patterns into the detector: entry i is pattern id i,
// even when a file fails to load, and nothing goes past the table.
#include <gtest/gtest.h>
#include <string>
#include "catalogue.h"
#include "detector_state.h"
#include "pattern.h"
#include "render.h"
#include "temp_dir.h"
#include "builders.h"

namespace {

class CatalogueLoading : public testing::Test {
protected:
    void SetUp() override {
        resetDetector();
        dir.enterWithData();
    }
    void TearDown() override { resetDetector(); }

    // Catalogue of `count` entries whose pattern files hold distinct patterns
    // (seed = index + 1), except those listed as missing.
    Catalogue makeCatalogue(int count, const std::vector<int>& missing = {}) {
        Catalogue catalogue;
        for (int i = 0; i < count; ++i) {
            PatternEntry entry;
            entry.index = i;
            entry.name = "N" + std::to_string(i);
            entry.path = patternFilePath(i);
            entry.width = 80.0;
            bool isMissing = false;
            for (int m : missing) isMissing |= m == i;
            if (!isMissing) {
                EXPECT_EQ(writePatternImageFile(entry.path.c_str(), makeRandomPattern(i + 1)), 0);
            }
            catalogue.push_back(entry);
        }
        return catalogue;
    }

    static int matchedId(uint32_t seed) {
        int id = -2, dir = -2;
        double cf = 0;
        matchPatternCode(codeOf(makeRandomPattern(seed)), &id, &dir, &cf);
        return id;
    }

    TempDir dir;
};

} // namespace

TEST_F(CatalogueLoading, EntryIsSlotAndUnusedEntriesAreInactive) {
    Catalogue catalogue = makeCatalogue(3);
    catalogue[1].inUse = false;
    EXPECT_EQ(LoadCataloguePatterns(catalogue), 3);
    const PatternTable& table = detectorState().patterns;
    EXPECT_EQ(table.count, 3);
    EXPECT_EQ(table.slot[0].state, Active);
    EXPECT_EQ(table.slot[1].state, Inactive);
    EXPECT_EQ(table.slot[2].state, Active);
    EXPECT_EQ(matchedId(1), 0);
    EXPECT_NE(matchedId(2), 1);
    EXPECT_EQ(matchedId(3), 2);
}

TEST_F(CatalogueLoading, FailedFileHoldsItsSlotSoLaterIdsStay) {
    Catalogue catalogue = makeCatalogue(3, {1});
    testing::internal::CaptureStdout();
    EXPECT_EQ(LoadCataloguePatterns(catalogue), 3);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("\"Data/001.patt\" not found!!"), std::string::npos) << out;
    EXPECT_NE(out.find("Pattern 1 (N1) is not recognised"), std::string::npos) << out;
    EXPECT_EQ(matchedId(3), 2);
    // Switching the held slot on, as the worker's check boxes may, still
    // never lets it match.
    EXPECT_EQ(activatePattern(1), 1);
    for (uint32_t seed = 1; seed <= 20; ++seed) EXPECT_NE(matchedId(seed), 1) << seed;
    EXPECT_EQ(matchedId(1), 0);
}

TEST_F(CatalogueLoading, UnreadableFileHoldsItsSlotToo) {
    Catalogue catalogue = makeCatalogue(2);
    writeFile("Data/000.patt", "1 2 3\n");
    testing::internal::CaptureStdout();
    LoadCataloguePatterns(catalogue);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Pattern Data read error!!"), std::string::npos);
    EXPECT_EQ(detectorState().patterns.count, 2);
    EXPECT_EQ(matchedId(2), 1);
}

TEST_F(CatalogueLoading, PatternsBeyondTheTableAreReportedAndNotLoaded) {
    Catalogue catalogue = makeCatalogue(52);
    testing::internal::CaptureStdout();
    EXPECT_EQ(LoadCataloguePatterns(catalogue), 52);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("patterns 50 to 51 are not recognised"), std::string::npos) << out;
    EXPECT_EQ(detectorState().patterns.count, kPatternSlots);
    EXPECT_EQ(matchedId(50), 49);
}

TEST_F(CatalogueLoading, EarlierTableContentDoesNotShiftTheIds) {
    Catalogue first = makeCatalogue(3);
    LoadCataloguePatterns(first);
    freePattern(0);
    Catalogue second = makeCatalogue(2);
    LoadCataloguePatterns(second);
    EXPECT_EQ(detectorState().patterns.count, 2);
    EXPECT_EQ(matchedId(1), 0);
    EXPECT_EQ(matchedId(2), 1);
    EXPECT_EQ(detectorState().patterns.slot[2].state, Free);
}
