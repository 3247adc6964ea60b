// Command lines and chunk splitting, answered into a buffer instead of a socket.
#include <gtest/gtest.h>
#include "protocol.h"
#include "server_state.h"

namespace {

struct Transcript : ReplySink {
    std::string bytes;
    int sends = 0;
    bool send(const std::string& text) override {
        bytes += text;
        ++sends;
        return true;
    }
};

class Commands : public ::testing::Test {
protected:
    void SetUp() override {
        MarkerResult a, b;
        a.name = "A";
        a.px = 320.7;
        a.py = 240.2;
        a.cf = 0.875;
        b.name = "B";
        b.px = 10;
        b.py = 20;
        b.cf = 1;
        publishResults({a, b, a});
        format.CheckName = format.CheckPos2d = format.CheckCf = 1;
    }
    void TearDown() override { publishResults({}); }

    std::string answer(const std::string& line, int expectedResult = 0) {
        Transcript out;
        EXPECT_EQ(interpretCommand(line, out, format), expectedResult) << line;
        return out.bytes;
    }

    DataFormat format;
    const std::string all = "Num= 3\nA,320,240,0.875000\nB,10,20,1.000000\nA,320,240,0.875000\n";
};

}  // namespace

TEST_F(Commands, AllAndGetReportFromTheTable) {
    EXPECT_EQ(answer("all"), all);
    EXPECT_EQ(answer("get A"), "Num= 2\nA,320,240,0.875000\nA,320,240,0.875000\n");
    EXPECT_EQ(answer("get B"), "Num= 1\nB,10,20,1.000000\n");
    EXPECT_EQ(answer("get P003"), "Num= 0\n");
    EXPECT_EQ(answer("get"), "Num= 0\n");
    EXPECT_EQ(answer("get a"), "Num= 0\n");
}

TEST_F(Commands, WhiteSpaceAroundAndExtraWordsAreIgnored) {
    EXPECT_EQ(answer("   all now"), all);
    EXPECT_EQ(answer("all\r"), all);
    EXPECT_EQ(answer("\t get \v B \f x y\r"), "Num= 1\nB,10,20,1.000000\n");
}

TEST_F(Commands, UnknownEmptyOrMiscasedWordsAreErrors) {
    EXPECT_EQ(answer("ALL"), "*error\n");
    EXPECT_EQ(answer("Help"), "*error\n");
    EXPECT_EQ(answer(""), "*error\n");
    EXPECT_EQ(answer(" \r"), "*error\n");
    EXPECT_EQ(answer("allx"), "*error\n");
}

TEST_F(Commands, QuitAndExitSayOkAndEndTheConnection) {
    EXPECT_EQ(answer("quit", -1), "*ok\n");
    EXPECT_EQ(answer("exit please", -1), "*ok\n");
    EXPECT_EQ(answer(" Quit"), "*error\n");
}

TEST_F(Commands, HelpListsTheCommandsInSevenSends) {
    Transcript out;
    EXPECT_EQ(interpretCommand("help", out, format), 0);
    EXPECT_EQ(out.sends, 7);
    EXPECT_EQ(out.bytes,
              "<<< COMMAND LIST >>>\n"
              "all        Get all marker information.\n"
              "get <name> Get marker information having specified name.\n"
              "help       Show command list.\n"
              "exit       Dissconnect this connection.\n"
              "quit       Dissconnect this connection.\n"
              "\n");
}

TEST_F(Commands, ReportUsesTheFormatOfTheCall) {
    Transcript out;
    interpretCommand("all", out, DataFormat{});
    EXPECT_EQ(out.bytes, "Num= 3\n\n\n\n");
}

TEST(ChunkSplitting, LinesAreCutAtLineFeedsOnly) {
    using Lines = std::vector<std::string>;
    EXPECT_EQ(splitChunk("all\n"), Lines({"all"}));
    EXPECT_EQ(splitChunk("all\n\nall\n"), Lines({"all", "", "all"}));
    EXPECT_EQ(splitChunk("al"), Lines({"al"}));
    EXPECT_EQ(splitChunk("all\r\nget A"), Lines({"all\r", "get A"}));
    EXPECT_EQ(splitChunk("\n"), Lines({""}));
    EXPECT_EQ(splitChunk("\n\n"), Lines({"", ""}));
}
