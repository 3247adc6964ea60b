// The quillmark executable in headless mode, started as users start it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <opencv2/imgcodecs.hpp>
#include "camera_param.h"
#include "headless_run.h"
#include "network.h"
#include "output_receivers.h"
#include "protocol.h"
#include "render.h"
#include "temp_dir.h"
#include "test_client.h"
#include "paths.h"

TEST(Headless, ServesTheEmptyTableAndStopsOnTerm) {
    Headless run({"--camera", "none", "--mode", "command", "--fields", "all"});
    const int port = run.listeningPort();
    ASSERT_GT(port, 0);
    TestClient client(port);
    // Only Command Mode answers "exit", and then closes the connection.
    client.sendText("all\nget P003\nexit\n");
    std::string bytes;
    ASSERT_TRUE(client.readToEnd(bytes));
    EXPECT_EQ(bytes, "Num= 0\nNum= 0\n*ok\n");
    run.signal(SIGTERM);
    EXPECT_EQ(run.exitStatus(), 0);
}

TEST(Headless, InterruptEndsAutomaticClientsAndExitsCleanly) {
    Headless run({"--camera", "none", "--port", "0"});
    const int port = run.listeningPort();
    ASSERT_GT(port, 0);
    TestClient client(port);
    std::vector<std::string> lines;
    ASSERT_TRUE(client.readReport(lines, 15000)) << "a sanitized server is slow to its first report";
    EXPECT_TRUE(lines.empty());
    run.signal(SIGINT);
    std::string rest;
    EXPECT_TRUE(client.readToEnd(rest));
    EXPECT_EQ(run.exitStatus(), 0);
    EXPECT_FALSE(TestClient(port).connected());
}

TEST(Headless, TakenPortIsNamedWithTheReason) {
    Network holder;
    holder.start(0, serveClient);
    const std::string port = std::to_string(holder.port());
    Headless run({"--camera", "none", "--port", port});
    EXPECT_EQ(run.exitStatus(), 1);
    EXPECT_NE(run.errors().find("port " + port), std::string::npos) << run.errors();
    EXPECT_NE(run.errors().find("Address already in use"), std::string::npos) << run.errors();
    holder.stop();
}

// Usage errors: exit status 2, the reason naming the option (and the command
// a person likely meant) and the command's usage on standard error.
TEST(CommandLine, BadCommandLinesNameTheOptionAndGiveTheUsage) {
    const struct {
        std::vector<std::string> args;
        const char* message;
    } bad[] = {
        {{"--headless", "--camera", "none", "--port", "65536"}, "quillmark: --port needs a whole number from 0 to 65535, not \"65536\""},
        {{"--headless", "--camera", "none", "--port", "-1"}, "--port needs a whole number"},
        {{"--headless", "--camera", "none", "--mode", "fast"}, "--mode is automatic or command, not \"fast\""},
        {{"--headless", "--camera", "none", "--fields", "name,size"}, "--fields: "},
        {{"--headless", "--camera", "none", "--fields", "all,name"}, "--fields: "},
        {{"--headless", "--camera", "none", "--port"}, "quillmark: --port needs a value"},
        {{"--headless", "--camera", "none", "--verbose"}, "quillmark: unknown option --verbose"},
        {{"--headless", "--camera", "none", "--threshold", "0"}, "--threshold needs a whole number from 1 to 254 or auto, not \"0\""},
        {{"--headless", "--camera", "none", "--max-squares", "501"}, "--max-squares needs a whole number from 1 to 500"},
        {{"--headless", "--camera", "none", "--max-area", "big"}, "--max-area needs a whole number from 70 to 268435456"},
        {{"--headless", "--camera", "none", "--tuio", "no-such-host.invalid"}, "quillmark: --tuio: "},
        {{"--headless", "--camera", "none", "--tuio", "127.0.0.1:70000"}, "quillmark: --tuio: "},
        {{"--headless", "--camera", "none", "--tuio-volume", "0,1500,0,2000"}, "quillmark: --tuio-volume: "},
        {{"--headless", "--camera", "none", "--mqtt", "127.0.0.1/lab/+"}, "quillmark: --mqtt: "},
        {{"--headless", "--camera", "none", "--mqtt", "127.0.0.1:1883/#"}, "quillmark: --mqtt: "},
        // Nothing is ever framed without a camera, so there is nothing to show.
        {{"--headless", "--camera", "none", "--watch"}, "--watch needs a camera"},
        {{"--headless", "--camera", "none", "--preview"}, "--preview needs a camera"},
        {{"--port", "9950"}, "quillmark: --port is an option of the server without a window: add --headless"},
        {{"--bogus"}, "quillmark: unknown option --bogus\nusage: quillmark [-C DIR]"},
        {{"pattern", "--bogus", "x.png"}, "quillmark pattern: unknown option --bogus\nusage: quillmark pattern"},
        {{"marker", "0", "x.png", "--bogus"}, "quillmark marker: unknown option --bogus\nusage: quillmark marker"},
        {{"calibrate", "--bogus"}, "quillmark calibrate: unknown option --bogus\nusage: quillmark calibrate"},
        {{"detect", "--port", "5", "x.png"}, "quillmark detect: unknown option --port; quillmark --headless and quillmark fuse take it"},
        {{"detect", "--threshold", "255", "x.png"}, "quillmark detect: --threshold needs a whole number from"},
        {{"detect", "--max-squares", "0", "x.png"}, "quillmark detect: --max-squares needs a whole number from"},
        {{"detect", "--repeat", "0", "x.png"}, "quillmark detect: --repeat needs a whole number from 1"},
        {{"detect"}, "quillmark detect: no image given"},
        {{"pattern", "--max-area", "10", "x.png"}, "quillmark pattern: --max-area needs a whole number from"},
        {{"pattern", "a.png", "b.png"}, "quillmark pattern: one image at a time"},
        {{"pattern", "--width", "0", "a.png"}, "quillmark pattern: --width needs a positive number of millimetres, not 0"},
        {{"marker", "0", "x.pdf"}, "quillmark marker: x.pdf: a PDF is written with --pdf: quillmark marker 0 --pdf x.pdf"},
        {{"marker", "0", "--pdf", "x.pdf", "--dpi", "300"}, "quillmark marker: --dpi excludes --pdf"},
        {{"marker", "0", "x.png", "--page", "letter"}, "quillmark marker: --page requires --pdf"},
        {{"marker", "zero", "x.png"}, "quillmark marker: N needs a whole number"},
        {{"calibrate", "--board", "9x6", "--square", "25", "--pdf", "b.pdf", "--page", "a3"},
         "quillmark calibrate: --page is a4 or letter, not a3"},
        {{"-C", "/no/such/folder", "detect", "x.png"}, "quillmark detect: cannot change to /no/such/folder: "},
    };
    for (const auto& c : bad) {
        Headless run(c.args, "");
        const std::string line = c.args[0] + " ... " + c.args.back();
        EXPECT_EQ(run.exitStatus(), 2) << line;
        EXPECT_NE(run.errors().find(c.message), std::string::npos) << line << ": " << run.errors();
        if (c.args[0] != "-C") {
            EXPECT_NE(run.errors().find("usage: quillmark"), std::string::npos) << line;
        }
        EXPECT_EQ(run.output(), "") << line;
    }
}

// A working directory holding a copy of the shipped Data/.
class HeadlessLive : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::copy(std::filesystem::path(sourceDir()) / "Data", dir.file("Data"),
                              std::filesystem::copy_options::recursive);
        std::filesystem::remove(dir.file("Data/config.txt"));
    }
    std::vector<std::string> args(std::vector<std::string> rest) {
        rest.insert(rest.begin(), {"-C", dir.path()});
        return rest;
    }
    TempDir dir;
};

std::set<std::string> namesInView(TestClient& client, size_t expected) {
    std::set<std::string> names;
    for (int attempt = 0; attempt < 100 && names.size() != expected; ++attempt) {
        client.sendText("all\n");
        std::vector<std::string> lines;
        if (!client.readReport(lines)) break;
        names = std::set<std::string>(lines.begin(), lines.end());
    }
    return names;
}

TEST_F(HeadlessLive, TheSyntheticCameraServesTheShippedMarkers) {
    Headless run(args({"--camera", "synthetic", "--mode", "command", "--fields", "name"}));
    const int port = run.listeningPort();
    ASSERT_GT(port, 0) << run.output();
    TestClient client(port);
    EXPECT_EQ(namesInView(client, 4), (std::set<std::string>{"Flag", "Fork", "Kite", "Hook"}));
    run.signal(SIGTERM);
    EXPECT_EQ(run.exitStatus(), 0);
    EXPECT_NE(run.output().find("SIZE = 640, 480"), std::string::npos) << "the installed camera is printed";
}

TEST_F(HeadlessLive, TheDetectorFlagsServeTheSameMarkers) {
    Headless run(args({"--camera", "synthetic", "--mode", "command", "--fields", "name", "--threshold", "auto",
                       "--max-squares", "100", "--max-area", "200000"}));
    const int port = run.listeningPort();
    ASSERT_GT(port, 0) << run.output() << run.errors();
    TestClient client(port);
    EXPECT_EQ(namesInView(client, 4), (std::set<std::string>{"Flag", "Fork", "Kite", "Hook"}));
    run.signal(SIGTERM);
    EXPECT_EQ(run.exitStatus(), 0);
}

TEST_F(HeadlessLive, TheConfigurationFileGivesPortModeFieldsAndCamera) {
    const int freePort = [] {
        Network probe;
        probe.start(0, serveClient);
        const int port = probe.port();
        probe.stop();
        return port;
    }();
    writeFile(dir.file("Data/config.txt"), "[Port] " + std::to_string(freePort) +
                                               "\n[CameraSelected] 0\n[DataFlow] 1\n[CheckName] 1\n[CheckArea] 1\n");
    Headless run(args({}));
    ASSERT_EQ(run.listeningPort(), freePort) << run.output() << run.errors();
    TestClient client(freePort);
    client.sendText("get Kite\n");
    std::vector<std::string> lines;
    ASSERT_TRUE(client.readReport(lines));
    for (const std::string& line : lines) EXPECT_EQ(line.rfind("Kite,", 0), 0u) << line;
    run.signal(SIGINT);
    EXPECT_EQ(run.exitStatus(), 0);
}

// A shipped marker rendered through the shipped camera: the vertices served
// with --refine lie within a tenth of a pixel of the truth.
TEST_F(HeadlessLive, RefineServesSubPixelVertices) {
    CameraParam camera;
    ASSERT_EQ(loadCameraParam(dir.file("Data/camera_para.dat").c_str(), 1, &camera), 0);
    PrintedMarker marker;
    ASSERT_EQ(readPatternImage(dir.file("Data/002.patt").c_str(), marker.pattern), 0);
    poseFromView(camera, 450, 25, -15, 40, 300, 260, marker.transform);
    RenderSettings settings;
    settings.width = camera.xsize;
    settings.height = camera.ysize;
    settings.blurSigmaPx = 0.6;
    settings.noiseSigma = 2.0;
    std::vector<MarkerTruth> truth;
    ASSERT_TRUE(cv::imwrite(dir.file("kite.png"), renderFrame(camera, {marker}, settings, &truth)));
    for (const bool refine : {false, true}) {
        std::vector<std::string> options{"--camera", "file:" + dir.file("kite.png"), "--mode", "command", "--fields",
                                         "vertex"};
        if (refine) options.push_back("--refine");
        Headless run(args(options));
        const int port = run.listeningPort();
        ASSERT_GT(port, 0) << run.output() << run.errors();
        TestClient client(port);
        std::vector<std::string> lines;
        for (int attempt = 0; attempt < 100 && lines.size() != 1; ++attempt) {
            client.sendText("get Kite\n");
            ASSERT_TRUE(client.readReport(lines));
        }
        ASSERT_EQ(lines.size(), 1u);
        std::istringstream in(lines[0]);
        double squared = 0.0, x, y;
        char comma;
        for (int k = 0; k < 4; ++k) {
            ASSERT_TRUE(in >> x >> comma >> y) << lines[0];
            in >> comma;
            squared += std::pow(x - truth[0].corner[k][0], 2) + std::pow(y - truth[0].corner[k][1], 2);
        }
        if (refine) EXPECT_LT(std::sqrt(squared / 4), 0.1) << lines[0];
        else EXPECT_GT(std::sqrt(squared / 4), 0.3) << lines[0]; // the contour's bias
        run.signal(SIGTERM);
        EXPECT_EQ(run.exitStatus(), 0);
    }
}

TEST_F(HeadlessLive, AMissingCameraFileRefusesToStartAndNamesIt) {
    std::filesystem::remove(dir.file("Data/camera_para.dat"));
    Headless run(args({"--camera", "synthetic"}));
    EXPECT_EQ(run.exitStatus(), 1);
    EXPECT_NE(run.errors().find("Data/camera_para.dat"), std::string::npos) << run.errors();
    EXPECT_NE(run.errors().find("make it with quillmark calibrate"), std::string::npos) << run.errors();
}

TEST_F(HeadlessLive, AnUnknownCameraIsRefusedWithTheReason) {
    Headless run(args({"--camera", "bogus:7"}));
    EXPECT_EQ(run.exitStatus(), 1);
    EXPECT_NE(run.errors().find("bogus:7"), std::string::npos) << run.errors();
}

TEST_F(HeadlessLive, CameraListNamesTheBuiltInSource) {
    Headless run(args({"--camera", "list"}));
    EXPECT_EQ(run.exitStatus(), 0);
    EXPECT_EQ(run.output().rfind("synthetic", 0), 0u) << run.output();
}

// ---- The TUIO and MQTT outputs of a live run.

TEST_F(HeadlessLive, BadOutputSettingsAreRefusedNamingTheKeyAndTheFileIsLeftAlone) {
    const std::string config = "[Port] 0\n[MqttHost] 127.0.0.1\n[MqttPrefix] a/#\n";
    writeFile(dir.file("Data/config.txt"), config);
    Headless run(args({"--camera", "none"}));
    EXPECT_EQ(run.exitStatus(), 2);
    EXPECT_NE(run.errors().find("[MqttPrefix]"), std::string::npos) << run.errors();
    EXPECT_EQ(readFile(dir.file("Data/config.txt")), config);
}

TEST_F(HeadlessLive, TheSyntheticCameraReachesTuioAndMqttReceivers) {
    Broker broker(freeLoopbackPort());
    ASSERT_TRUE(broker.start());
    MqttSubscriber subscriber(broker.port(), "qmtest/#");
    const int tuioPort = freeLoopbackPort(true);
    OscReceiver receiver(tuioPort);
    // A working volume of 1 mm: every 3D position lies on one of its faces.
    Headless run(args({"--camera", "synthetic", "--fields", "name", "--tuio", "127.0.0.1:" + std::to_string(tuioPort),
                       "--tuio-volume", "1,1,0,1", "--mqtt", "127.0.0.1:" + std::to_string(broker.port()) + "/qmtest"}));
    ASSERT_GT(run.listeningPort(), 0) << run.errors();
    ASSERT_TRUE(receiver.waitFor([](const auto& m) { return fseqNumbers(m, "/tuio/2Dobj").size() >= 10; }));
    ASSERT_TRUE(subscriber.waitFor(50));
    run.signal(SIGTERM);
    EXPECT_EQ(run.exitStatus(), 0);
    // Frame numbers arrive in order (gaps under load are the benchmark's business).
    const std::vector<int> fseq = fseqNumbers(receiver.messages(), "/tuio/2Dobj");
    for (std::size_t i = 1; i < fseq.size(); ++i) EXPECT_GT(fseq[i], fseq[i - 1]);
    int sets = 0;
    for (const OscMessage& m : receiver.messages()) {
        if (m.path != "/tuio/3Dobj" || m.strings[0] != "set") continue;
        ++sets;
        for (int k = 0; k < 3; ++k) EXPECT_TRUE(m.floats[k] == 0.0f || m.floats[k] == 1.0f) << m.floats[k];
        EXPECT_EQ(m.floats[2], 1.0f) << "every marker is farther than 1 mm";
    }
    EXPECT_GT(sets, 0);
    std::set<std::string> topics;
    for (const MqttMessage& m : subscriber.messages()) {
        topics.insert(m.topic);
        if (m.topic == "qmtest/report") {
            EXPECT_EQ(m.payload.rfind("Num= ", 0), 0u) << m.payload;
        }
    }
    EXPECT_EQ(topics, (std::set<std::string>{"qmtest/report", "qmtest/markers/Flag", "qmtest/markers/Fork",
                                             "qmtest/markers/Kite", "qmtest/markers/Hook"}));
    EXPECT_NE(run.output().find("Publishing MQTT to 127.0.0.1:"), std::string::npos) << run.output();
    EXPECT_EQ(run.errors(), "") << "the broker was there all along: no notice";
}

TEST_F(HeadlessLive, NoBrokerGivesOneWarningAndTrackingRuns) {
    Headless run(args({"--camera", "synthetic", "--mode", "command", "--fields", "name", "--mqtt",
                       "127.0.0.1:" + std::to_string(freeLoopbackPort())}));
    const int port = run.listeningPort();
    ASSERT_GT(port, 0) << run.errors();
    TestClient client(port);
    EXPECT_EQ(namesInView(client, 4).size(), 4u);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // a reconnection attempt or two
    run.signal(SIGTERM);
    EXPECT_EQ(run.exitStatus(), 0);
    const std::string& errors = run.errors();
    const size_t first = errors.find("is not reachable");
    EXPECT_NE(first, std::string::npos) << errors;
    EXPECT_EQ(errors.find("quillmark:", errors.find('\n')), std::string::npos) << "one warning only: " << errors;
}

// The stamp line of a report, then its "Num= n" report; false when either is missing.
bool readStampedReport(TestClient& client, unsigned long long& frame, double& time) {
    std::string line;
    std::vector<std::string> lines;
    if (!client.readLine(line) || std::sscanf(line.c_str(), "Stamp= %llu %lf", &frame, &time) != 2) return false;
    return client.readReport(lines);
}

double secondsSince1970() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

TEST(Headless, TheNoCameraServerKeepsItsModeFieldsAndStamp) {
    Headless command({"--camera", "none", "--mode", "command", "--fields", "none,stamp"});
    const int port = command.listeningPort();
    ASSERT_GT(port, 0);
    TestClient client(port);
    client.sendText("help\nall\n");
    std::string line;
    ASSERT_TRUE(client.readLine(line));
    EXPECT_EQ(line, "<<< COMMAND LIST >>>");
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(client.readLine(line));
    unsigned long long frame = 99;
    double time = 0;
    ASSERT_TRUE(readStampedReport(client, frame, time));
    EXPECT_EQ(frame, 0u) << "no camera, no frame";
    EXPECT_NEAR(time, secondsSince1970(), 5.0) << "the moment serving began";
    command.signal(SIGTERM);
    EXPECT_EQ(command.exitStatus(), 0);
}

// Unknown options of each command are in the table of bad command lines.
TEST(CommandLine, HelpOfEveryCommandGoesToStdout) {
    const struct {
        const char* command;
        const char* usage;
    } commands[] = {
        {"", "usage: quillmark [-C DIR]"},   {"--headless", "usage: quillmark --headless"},
        {"detect", "usage: quillmark detect"}, {"pattern", "usage: quillmark pattern"},
        {"marker", "usage: quillmark marker"}, {"calibrate", "usage: quillmark calibrate"},
    };
    for (const auto& c : commands) {
        // The two spellings take turns; each process start costs time.
        const char* help = (&c - commands) % 2 ? "-h" : "--help";
        Headless run({help}, c.command);
        EXPECT_EQ(run.exitStatus(), 0) << c.command << " " << help;
        EXPECT_EQ(run.output().rfind(c.usage, 0), 0u) << c.command << " " << help << ": " << run.output();
        EXPECT_EQ(run.errors(), "") << c.command;
    }
    Headless version({"--version"}, "detect");
    EXPECT_EQ(version.exitStatus(), 0);
    EXPECT_EQ(version.output().rfind("quillmark 1.", 0), 0u) << version.output();
}

TEST(CommandLine, TheUsageNamesEveryOptionTheReadmeNames) {
    Headless help({"--help"}, "");
    ASSERT_EQ(help.exitStatus(), 0);
    const std::string usage = help.output();
    std::ifstream readme(sourceDir() + "/README.md");
    const std::string text((std::istreambuf_iterator<char>(readme)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(text.empty());
    const std::regex option("--[a-z][a-z-]*");
    const std::set<std::string> otherPrograms{"--now"};  // systemctl's
    int seen = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option); it != std::sregex_iterator(); ++it, ++seen)
        if (!otherPrograms.count(it->str())) {
            EXPECT_NE(usage.find(it->str()), std::string::npos) << it->str() << " is in the README, not in the usage";
        }
    EXPECT_GT(seen, 10);
    for (const char* word : {"--camera SOURCE", "list", "none", "stamp", "-C DIR"})
        EXPECT_NE(usage.find(word), std::string::npos) << word;
}

TEST_F(HeadlessLive, CameraListNeedsNoHeadlessWord) {
    Headless run({"-C", dir.path(), "--camera", "list"}, "");
    EXPECT_EQ(run.exitStatus(), 0) << run.errors();
    EXPECT_EQ(run.output().rfind("synthetic", 0), 0u) << run.output();
}

// A stamped report in either mode: frames counted up from 1 since Start,
// times from the wall clock when the frame was grabbed.
TEST_F(HeadlessLive, StampedReportsCountFramesAndCarryTheCaptureTime) {
    for (const char* mode : {"automatic", "command"}) {
        Headless run(args({"--camera", "synthetic", "--mode", mode, "--fields", "name,stamp"}));
        const int port = run.listeningPort();
        ASSERT_GT(port, 0) << run.output();
        TestClient client(port);
        unsigned long long previous = 0;
        for (int report = 0; report < 4; ++report) {
            if (mode[0] == 'c') client.sendText("all\n");
            unsigned long long frame = 0;
            double time = 0;
            ASSERT_TRUE(readStampedReport(client, frame, time)) << mode;
            const double now = secondsSince1970();
            // A report before the first frame is grabbed says so: frame 0, time 0.
            if (frame == 0 && previous == 0 && report == 0) {
                EXPECT_EQ(time, 0.0) << mode;
                continue;
            }
            EXPECT_GE(frame, 1u) << mode;
            EXPECT_GE(frame, previous) << mode;
            EXPECT_LE(time, now) << mode;
            EXPECT_GT(time, now - 1.0) << mode;
            previous = frame;
            std::this_thread::sleep_for(std::chrono::milliseconds(70));
        }
        EXPECT_GT(previous, 1u) << mode << ": frames go on being counted";
        run.signal(SIGTERM);
        EXPECT_EQ(run.exitStatus(), 0);
    }
}

TEST_F(HeadlessLive, UnstampedReportsAreTheReportsAlone) {
    Headless run(args({"--camera", "synthetic", "--mode", "command", "--fields", "name"}));
    const int port = run.listeningPort();
    ASSERT_GT(port, 0) << run.output();
    TestClient client(port);
    client.sendText("get Kite\n");
    std::string header, line;
    ASSERT_TRUE(client.readLine(header));
    EXPECT_TRUE(header == "Num= 1" || header == "Num= 0") << header;
    if (header == "Num= 1") {
        ASSERT_TRUE(client.readLine(line));
        EXPECT_EQ(line, "Kite");
    }
}

// The log a day's run leaves: what was served, from where, and how much.
TEST_F(HeadlessLive, StartAndStopLinesAndClientsLeavingReachAPipeAtOnce) {
    Headless run(args({"--camera", "synthetic", "--mode", "command", "--fields", "name,cf"}));
    const int port = run.listeningPort();
    ASSERT_GT(port, 0) << run.output();
    const std::string start = "Listening on port " + std::to_string(port) + ": " +
                              std::filesystem::canonical(dir.path()).string() +
                              ", camera synthetic 640x480, Command Mode, fields name,cf\n";
    EXPECT_TRUE(run.waitForOutput(start)) << run.output();
    for (int i = 0; i < 2; ++i) {
        TestClient client(port);
        client.sendText("all\n");
        std::vector<std::string> lines;
        ASSERT_TRUE(client.readReport(lines));
    }
    EXPECT_TRUE(run.waitForOutput("End of file\nEnd of file\n")) << "clients that left, while still running";
    run.signal(SIGINT);
    ASSERT_EQ(run.exitStatus(), 0);
    std::smatch stop;
    const std::string output = run.output();
    ASSERT_TRUE(std::regex_search(output, stop, std::regex("\nStopped: ([0-9]+) frames processed, 2 clients served\n$")))
        << output;
    EXPECT_GT(std::stoi(stop[1]), 0);
}
