// The server and the protocol through real sockets on loopback.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <thread>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>
#include "network.h"
#include "protocol.h"
#include "server_state.h"
#include "test_client.h"
#include "wait.h"

namespace {

using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

MarkerResult marker(const std::string& name, double px, double py, double cf) {
    MarkerResult r;
    r.name = name;
    r.px = px;
    r.py = py;
    r.cf = cf;
    return r;
}

DataFormat nameCentreConfidence() {
    DataFormat f;
    f.CheckName = f.CheckPos2d = f.CheckCf = 1;
    return f;
}

// Stands in for the tracking worker: a new table every few milliseconds,
// each marker named after the frame number.
class FrameDriver {
public:
    FrameDriver(int markers, int periodMs) {
        thread_ = std::thread([=] {
            for (int frame = 0; running_; ++frame) {
                MarkerResult r = marker("F" + std::to_string(frame), 320.5, 240.5, 0.9);
                publishResults(ResultTable(markers, r));
                std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
            }
        });
    }
    ~FrameDriver() {
        running_ = false;
        thread_.join();
    }

private:
    std::atomic<bool> running_{true};
    std::thread thread_;
};

// Connections are counted from their accept on.
bool waitUntilLive(int count) {
    return waitFor([&] { return Network::liveConnections() >= count; }, std::chrono::seconds(5),
                   std::chrono::milliseconds(1));
}

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

class Server : public ::testing::Test {
protected:
    void SetUp() override {
        publishResults({marker("A", 320.7, 240.2, 0.875)});
        setActiveDataFormat(nameCentreConfidence());
        setServerActive(true);
    }
    void TearDown() override {
        setServerActive(false);
        server.stop();
        // Client threads outlive their server; none may be left for the next test.
        EXPECT_TRUE(Network::waitForLiveConnections(0, 5000));
        publishResults({});
    }
    void start(bool automatic) {
        AutomaticModeFlag = automatic;
        server.start(0, serveClient);
        port = server.port();
        ASSERT_GT(port, 0);
    }

    Network server;
    int port = 0;
    const Lines reportOfA{"A,320,240,0.875000"};
};

}  // namespace

TEST_F(Server, ChunkOfSeveralLinesIsAnsweredLineByLine) {
    start(false);
    TestClient client(port);
    client.sendText("all\n\nget A\n");
    Lines lines;
    std::string line;
    ASSERT_TRUE(client.readReport(lines));
    EXPECT_EQ(lines, reportOfA);
    ASSERT_TRUE(client.readLine(line));
    EXPECT_EQ(line, "*error");
    ASSERT_TRUE(client.readReport(lines));
    EXPECT_EQ(lines, reportOfA);
}

TEST_F(Server, ExactBytesOfReportAndHelp) {
    start(false);
    TestClient client(port);
    client.sendText("all\r\n");
    const std::string report = "Num= 1\nA,320,240,0.875000\n";
    std::string bytes;
    ASSERT_TRUE(client.readBytes(report.size(), bytes));
    EXPECT_EQ(bytes, report);
    client.sendText("get nobody\nhelp\n");
    const std::string expected =
        "Num= 0\n<<< COMMAND LIST >>>\nall        Get all marker information.\n"
        "get <name> Get marker information having specified name.\nhelp       Show command list.\n"
        "exit       Dissconnect this connection.\nquit       Dissconnect this connection.\n\n";
    ASSERT_TRUE(client.readBytes(expected.size(), bytes));
    EXPECT_EQ(bytes, expected);
}

TEST_F(Server, CommandSplitAcrossChunksIsTwoErrors) {
    start(false);
    TestClient client(port);
    std::string line;
    client.sendText("al");
    ASSERT_TRUE(client.readLine(line));
    EXPECT_EQ(line, "*error");
    client.sendText("l\n");
    ASSERT_TRUE(client.readLine(line));
    EXPECT_EQ(line, "*error");
}

TEST_F(Server, ExitAndQuitCloseAfterOkIgnoringTheRest) {
    start(false);
    for (const char* word : {"exit", "quit"}) {
        TestClient client(port);
        client.sendText(std::string(word) + "\nall\n");
        std::string rest;
        ASSERT_TRUE(client.readToEnd(rest)) << word;
        EXPECT_EQ(rest, "*ok\n");
    }
    EXPECT_TRUE(Network::waitForLiveConnections(0, 5000));
}

TEST_F(Server, ClosedClientEndsItsCommandConnection) {
    start(false);
    TestClient client(port);
    client.sendText("all\n");
    Lines lines;
    ASSERT_TRUE(client.readReport(lines));
    EXPECT_EQ(Network::liveConnections(), 1);
    client.close();
    EXPECT_TRUE(Network::waitForLiveConnections(0, 5000));
}

TEST_F(Server, InactiveServerAnswersTheWaitingCommandThenCloses) {
    start(false);
    TestClient client(port);
    client.sendText("all\n");
    Lines lines;
    ASSERT_TRUE(client.readReport(lines));
    // Let the connection finish its pass and block in its read.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    setServerActive(false);
    client.sendText("all\n");
    std::string rest;
    ASSERT_TRUE(client.readToEnd(rest));
    EXPECT_EQ(rest, "Num= 1\nA,320,240,0.875000\n");
}

TEST_F(Server, FormatAndModeAreFixedWhenTheConnectionBegins) {
    start(false);
    TestClient client(port);
    client.sendText("all\n");
    Lines lines;
    ASSERT_TRUE(client.readReport(lines));
    setActiveDataFormat(DataFormat{});
    AutomaticModeFlag = true;
    client.sendText("all\n");
    ASSERT_TRUE(client.readReport(lines));
    EXPECT_EQ(lines, reportOfA);

    TestClient later(port);
    ASSERT_TRUE(later.readReport(lines));
    EXPECT_EQ(lines, Lines{""});
}

TEST_F(Server, AutomaticModeIsPacedAtThirtyReportsASecond) {
    start(true);
    TestClient client(port);
    client.sendText("help\n");  // never read, never answered
    Lines lines;
    ASSERT_TRUE(client.readReport(lines));
    EXPECT_EQ(lines, reportOfA);
    int reports = 0;
    const auto end = Clock::now() + std::chrono::seconds(1);
    while (Clock::now() < end && client.readReport(lines)) {
        ASSERT_EQ(lines, reportOfA);
        ++reports;
    }
    // 1000 ms / 33 ms allows 31 passes at most; the floor only rules out a stall.
    EXPECT_LE(reports, 31);
    EXPECT_GE(reports, 15);
}

TEST_F(Server, WaitingConnectionsSleepInsteadOfSpinning) {
    start(true);
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < 20; ++i) clients.push_back(std::make_unique<TestClient>(port));
    ASSERT_TRUE(waitUntilLive(20));
    const double cpuBefore = processCpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    // Twenty polling loops would burn both cores for the whole second.
    EXPECT_LT(processCpuSeconds() - cpuBefore, 0.3);
    Lines lines;
    for (auto& client : clients) EXPECT_TRUE(client->readReport(lines));
}

TEST_F(Server, InactiveServerEndsAutomaticConnections) {
    start(true);
    TestClient a(port), b(port);
    Lines lines;
    ASSERT_TRUE(a.readReport(lines));
    ASSERT_TRUE(b.readReport(lines));
    setServerActive(false);
    std::string rest;
    EXPECT_TRUE(a.readToEnd(rest));
    EXPECT_TRUE(b.readToEnd(rest));
    EXPECT_TRUE(Network::waitForLiveConnections(0, 5000));
}

TEST_F(Server, VanishedAutomaticClientEndsItsConnectionWithoutASignal) {
    start(true);
    TestClient stays(port);
    {
        TestClient leaves(port);
        Lines lines;
        ASSERT_TRUE(leaves.readReport(lines));
    }
    // The first send after the close draws a reset, the next one a broken
    // pipe, which must neither kill the process nor keep the connection.
    EXPECT_TRUE(Network::waitForLiveConnections(1, 5000));
    EXPECT_TRUE(serverActive());
    Lines lines;
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(stays.readReport(lines));
}

TEST_F(Server, ClientThatStopsReadingIsDroppedWhileOthersGoOn) {
    setActiveDataFormat(allFields());
    start(true);
    const uint64_t droppedBefore = slowClientsDropped();
    FrameDriver driver(150, 10);  // about 60 kB per report fills the buffers quickly
    TestClient stalled(port, 4096);
    TestClient reader(port);
    ASSERT_TRUE(waitUntilLive(2));

    // While the stalled connection fills its buffers and then waits out its
    // send, the reader must keep getting fresh frames: neither the table
    // lock nor the reader's thread is held by the stalled send.
    std::set<std::string> frames;
    int reports = 0;
    Lines lines;
    while (Network::liveConnections() == 2 && reports < 2000) {
        ASSERT_TRUE(reader.readReport(lines));
        ASSERT_EQ(lines.size(), 150u);
        frames.insert(lines[0].substr(0, lines[0].find(',')));
        ++reports;
    }
    EXPECT_EQ(Network::liveConnections(), 1);
    EXPECT_EQ(slowClientsDropped(), droppedBefore + 1);
    EXPECT_GE(reports, 60);  // at least two seconds' worth at 30 a second
    EXPECT_GE(frames.size(), 30u);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(reader.readReport(lines));
}

// A client that pauses gets, when it reads again, at most the few frames its
// own buffers held and then the latest one, never the frames of the pause.
TEST_F(Server, AClientThatResumesGetsTheLatestFrameNotThePause) {
    DataFormat format = allFields();
    format.CheckStamp = 1;
    setActiveDataFormat(format);
    start(true);
    FrameDriver driver(20, 5);  // about 8 kB per report, a new frame every pass
    TestClient client(port, 4096);
    std::string line;
    ASSERT_TRUE(client.readLine(line));
    const uint64_t skippedBefore = framesSkippedForSlowClients();
    const auto limit = Clock::now() + std::chrono::seconds(2);
    while (framesSkippedForSlowClients() < skippedBefore + 10 && Clock::now() < limit)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_GE(framesSkippedForSlowClients(), skippedBefore + 10);
    uint64_t resumedAt = 0;
    {
        std::lock_guard<std::mutex> hold(ResultTableLock);
        resumedAt = LatestStamp.frame;
    }
    int stale = 0;
    for (uint64_t frame = 0; frame < resumedAt;) {
        ASSERT_TRUE(client.readLine(line));
        if (line.compare(0, 7, "Stamp= ") != 0) continue;
        frame = std::stoull(line.substr(7));
        stale += frame < resumedAt;
    }
    EXPECT_LE(stale, 3) << "frames from the pause reached the client";
    EXPECT_EQ(Network::liveConnections(), 1);
}

TEST_F(Server, ManyClientsInBothModesAtOnce) {
    start(true);
    std::vector<std::unique_ptr<TestClient>> automatic, command;
    for (int i = 0; i < 20; ++i) automatic.push_back(std::make_unique<TestClient>(port));
    Lines lines;
    // A first report shows that the connection has read its mode.
    for (auto& client : automatic) ASSERT_TRUE(client->readReport(lines));
    AutomaticModeFlag = false;
    for (int i = 0; i < 20; ++i) command.push_back(std::make_unique<TestClient>(port));
    for (auto& client : command) client->sendText("get A\n");
    for (auto& client : command) {
        ASSERT_TRUE(client->readReport(lines));
        EXPECT_EQ(lines, reportOfA);
    }
    for (auto& client : automatic) {
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(client->readReport(lines));
            EXPECT_EQ(lines, reportOfA);
        }
    }
    EXPECT_EQ(Network::liveConnections(), 40);
}

TEST_F(Server, StopFreesThePortAndTheSameObjectStartsAgain) {
    start(false);
    const int firstPort = port;
    TestClient survivor(port);
    survivor.sendText("all\n");
    Lines lines;
    ASSERT_TRUE(survivor.readReport(lines));
    for (int round = 0; round < 5; ++round) {
        server.stop();
        EXPECT_EQ(server.port(), 0);
        EXPECT_FALSE(TestClient(firstPort).connected()) << round;
        server.start(firstPort, serveClient);
        EXPECT_EQ(server.port(), firstPort);
        TestClient client(firstPort);
        client.sendText("get A\n");
        ASSERT_TRUE(client.readReport(lines)) << round;
        EXPECT_EQ(lines, reportOfA);
    }
    // Stopping the server leaves open connections alone.
    survivor.sendText("all\n");
    ASSERT_TRUE(survivor.readReport(lines));
    EXPECT_EQ(lines, reportOfA);
}

TEST_F(Server, StopRightAfterStartEndsTheAcceptThread) {
    for (int round = 0; round < 50; ++round) {
        server.start(0, serveClient);
        server.stop();
    }
    EXPECT_EQ(server.port(), 0);
}

TEST_F(Server, TakenPortFailsWithTheSystemCodeAndLeavesTheServerIdle) {
    start(false);
    Network second;
    try {
        second.start(port, serveClient);
        FAIL() << "a second listener on port " << port;
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), boost::asio::error::address_in_use);
    }
    EXPECT_EQ(second.port(), 0);
    second.start(0, serveClient);
    EXPECT_GT(second.port(), 0);
    EXPECT_THROW(second.start(0, serveClient), boost::system::system_error);
    second.stop();
}
