// The bodies file: what is read, what is refused (alone, by file and line),
// and the written file reading back the same, with the old one kept.
#include <gtest/gtest.h>
#include "bodies.h"
#include "temp_dir.h"

namespace {

Catalogue catalogueOf(std::initializer_list<const char*> names) {
    Catalogue catalogue;
    for (const char* name : names) {
        PatternEntry entry;
        entry.index = static_cast<int>(catalogue.size());
        entry.name = name;
        entry.width = 40.0 + 10.0 * entry.index;
        catalogue.push_back(entry);
    }
    return catalogue;
}

const Catalogue kCatalogue = catalogueOf({"A", "B", "C", "D"});
const char* const kGood = "[Member] box A 0 0 0 1 0 0 0\n";

TEST(BodyList, ReadsMembersPosesAndCatalogueWidths) {
    const BodyList list = parseBodyList("# a comment line\n"
                                        "[Member] box A 0 0 0 1 0 0 0   # the origin\n"
                                        "\t[Member]  box   B  100 -5.5 2 0.7071068 0 0.7071068 0\n"
                                        "[Member] wand C\n",
                                        "F", kCatalogue);
    EXPECT_TRUE(list.refusals.empty());
    ASSERT_EQ(list.bodies.size(), 2u);
    const Body& box = list.bodies[0];
    EXPECT_EQ(box.name, "box");
    ASSERT_EQ(box.members.size(), 2u);
    EXPECT_TRUE(box.tracked());
    const BodyMember& b = box.members[1];
    EXPECT_EQ(b.pattern, "B");
    EXPECT_EQ(b.patternId, 1);
    EXPECT_EQ(b.widthMm, 50.0);
    EXPECT_EQ(b.line, 3);
    EXPECT_EQ(b.X, 100.0);
    EXPECT_EQ(b.Y, -5.5);
    EXPECT_NEAR(b.QW * b.QW + b.QY * b.QY, 1.0, 1e-15);
    EXPECT_FALSE(list.bodies[1].tracked()) << "a member without its pose is not tracked";
    size_t body = 9, member = 9;
    EXPECT_TRUE(findMember(list.bodies, 2, body, member));
    EXPECT_EQ(body, 1u);
    EXPECT_FALSE(findMember(list.bodies, 3, body, member));
}

TEST(BodyList, RefusesABadLineAloneNamingFileLineAndWhy) {
    struct Case {
        const char* line;
        const char* why;
    } cases[] = {
        {"[Member] box E 0 0 0 1 0 0 0", "pattern \"E\" is not catalogued"},
        {"[Member] other A", "pattern \"A\" is already a member of body \"box\""},
        {"[Member] box A 1 1 1 1 0 0 0", "already a member"},
        {"[Member] box B 0 0 0 2 0 0 0", "quaternion QW QX QY QZ has length 2, not 1"},
        {"[Member] box B 0 0 0 1.02 0 0 0", "length 1.02"},
        {"[Member] box B 0 0 x 1 0 0 0", "Z \"x\" is not a number"},
        {"[Member] box B 0 0 0 1 0 0 nan", "QZ \"nan\" is not a number"},
        {"[Member] box B 0 0 0 1 0 0", "no pose or all seven of X Y Z QW QX QY QZ, not 6"},
        {"[Member] box", "needs BODY and PATTERN"},
        {"[Member] bo,x B", "holds a comma"},
        {"[Pattern] box B", "\"[Pattern]\" is not [Member]"},
    };
    for (const Case& c : cases) {
        const BodyList list = parseBodyList(std::string(kGood) + c.line + "\n[Member] other D\n", "Data/body_list.txt",
                                            kCatalogue);
        ASSERT_EQ(list.refusals.size(), 1u) << c.line;
        EXPECT_EQ(list.refusals[0].rfind("Data/body_list.txt line 2: ", 0), 0u) << list.refusals[0];
        EXPECT_NE(list.refusals[0].find(c.why), std::string::npos) << list.refusals[0];
        ASSERT_EQ(list.bodies.size(), 2u) << "the lines around it are read: " << c.line;
        EXPECT_EQ(list.bodies[0].members.size() + list.bodies[1].members.size(), 2u) << c.line;
    }
    // Nearly unit is rounding, and is taken out.
    const BodyList near = parseBodyList("[Member] box A 0 0 0 1.005 0 0 0\n", "F", kCatalogue);
    EXPECT_TRUE(near.refusals.empty());
    EXPECT_DOUBLE_EQ(near.bodies[0].members[0].QW, 1.0);
}

TEST(BodyList, SkipsABodyWithNoMemberCataloguedWithAMessage) {
    const BodyList list = parseBodyList("[Member] ghost X\n[Member] ghost Y 0 0 0 1 0 0 0\n" + std::string(kGood),
                                        "F", kCatalogue);
    ASSERT_EQ(list.bodies.size(), 1u);
    EXPECT_EQ(list.bodies[0].name, "box");
    ASSERT_EQ(list.refusals.size(), 3u);
    EXPECT_EQ(list.refusals[2], "F: body \"ghost\" has no member left; it is skipped");
}

TEST(BodyList, WrittenFileReadsBackTheSameAndKeepsTheOldOne) {
    TempDir dir;
    const std::string path = dir.file("body_list.txt");
    BodyList none;
    EXPECT_FALSE(readBodyList(path, kCatalogue, none)) << "no file, no bodies";
    const BodyList list = parseBodyList("[Member] box A 0 0 0 1 0 0 0\n[Member] box B 12.25 -3 1e-3 0.5 0.5 -0.5 0.5\n"
                                        "[Member] wand C\n",
                                        "F", kCatalogue);
    std::string error, backup;
    writeFile(path, "old\n");
    ASSERT_TRUE(writeBodyList(path, list.bodies, error, &backup)) << error;
    EXPECT_EQ(backup, path + ".bak");
    EXPECT_EQ(readFile(backup), "old\n");
    BodyList back;
    ASSERT_TRUE(readBodyList(path, kCatalogue, back));
    EXPECT_TRUE(back.refusals.empty());
    EXPECT_EQ(bodyListText(back.bodies), bodyListText(list.bodies));
    EXPECT_EQ(back.bodies[0].members[1].Z, 0.001);
    EXPECT_FALSE(back.bodies[1].members[0].poseKnown);
    EXPECT_FALSE(writeBodyList(dir.file("no/dir/body_list.txt"), list.bodies, error));
}

} // namespace
