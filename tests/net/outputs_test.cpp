// The TUIO and MQTT outputs against real receivers on loopback: a liblo
// server, a Mosquitto broker started here and libmosquitto subscribers.
#include <gtest/gtest.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <cmath>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>
#include "mqtt_output.h"
#include "output_receivers.h"
#include "output_target.h"
#include "tuio_output.h"
#include "wait.h"

using namespace std::chrono_literals;

namespace {

constexpr float kPi = 3.14159265f;

MarkerResult marker(int id, const std::string& name, double px, double py, double dx = 0, double dy = -1) {
    MarkerResult r;
    r.patternId = id;
    r.name = name;
    r.px = px;
    r.py = py;
    r.dx = dx;
    r.dy = dy;
    r.cf = 0.875;
    r.X = 10;
    r.Y = -20;
    r.Z = 500;
    const double gl[16] = {1, 0, 0, 0, 0, -1, 0, 0, 0, 0, -1, 0, 10, -20, 500, 1};
    std::copy(gl, gl + 16, r.glMatrix);
    return r;
}

// Frame `number` of a 640 x 480 camera at 30 frames a second.
PublishedFrame frame(uint64_t number, ResultTable results) {
    return PublishedFrame{std::move(results), FrameStamp{number, 1700000000.0 + number / 30.0}, 640, 480};
}

// The notices an output gives, kept for the test.
struct Notices {
    MqttOutput::Notice sink() {
        return [this](const std::string& text) {
            std::lock_guard<std::mutex> lock(mutex);
            texts.push_back(text);
        };
    }
    std::vector<std::string> all() {
        std::lock_guard<std::mutex> lock(mutex);
        return texts;
    }
    bool waitFor(std::size_t count) {
        return ::waitFor([&] { return all().size() >= count; }, 15s);
    }
    std::mutex mutex;
    std::vector<std::string> texts;
};

OutputTarget loopback(int port, const std::string& prefix = "") { return OutputTarget{"127.0.0.1", port, prefix}; }

// Hands frames first to last to `output`, each once the one before has
// gone out (two bundles a frame), so a busy machine drops none.
void sendInTurn(TuioOutput& output, uint64_t first, uint64_t last, const ResultTable& table) {
    for (uint64_t n = first; n <= last; ++n) {
        const uint64_t before = output.bundlesSent();
        output.publishFrame(frame(n, table));
        for (int i = 0; i < 500 && output.bundlesSent() < before + 2; ++i) std::this_thread::sleep_for(1ms);
    }
}

} // namespace

// ---- The hand-over queue.

TEST(FrameQueue, ASlowConsumerLosesTheOldestFramesNeverTheWorkersTime) {
    std::mutex gate;
    std::unique_lock<std::mutex> held(gate);
    std::mutex seenMutex;
    std::vector<uint64_t> seen;
    std::atomic<bool> busy{false};
    FrameQueue queue(4, [&](const PublishedFrame& f) {
        busy = true;
        std::lock_guard<std::mutex> wait(gate);  // the consumer is stuck until the gate opens
        std::lock_guard<std::mutex> lock(seenMutex);
        seen.push_back(f.stamp.frame);
    });
    queue.push(frame(1, {}));
    for (int i = 0; i < 500 && !busy; ++i) std::this_thread::sleep_for(10ms);  // frame 1 is in its hands
    for (uint64_t n = 2; n <= 10; ++n) queue.push(frame(n, {}));
    EXPECT_EQ(queue.dropped(), 5u);
    held.unlock();
    for (int i = 0; i < 500; ++i) {
        {
            std::lock_guard<std::mutex> lock(seenMutex);
            if (seen.size() == 5) break;
        }
        std::this_thread::sleep_for(10ms);
    }
    queue.stop();
    EXPECT_EQ(seen, (std::vector<uint64_t>{1, 7, 8, 9, 10}));
}

// ---- Where the outputs send: what is accepted and what is refused.

TEST(OutputTarget, AcceptedTextsAndTheirDefaults) {
    struct Case {
        bool mqtt;
        std::string text, host;
        int port;
        std::string prefix;
    };
    const Case cases[] = {
        {false, "127.0.0.1", "127.0.0.1", 3333, ""},
        {false, "localhost:4000", "localhost", 4000, ""},
        {false, "[::1]:3334", "::1", 3334, ""},
        {false, "127.0.0.1:65535", "127.0.0.1", 65535, ""},
        {true, "127.0.0.1", "127.0.0.1", 1883, "quillmark"},
        {true, "localhost:1884/lab/table", "localhost", 1884, "lab/table"},
        {true, "127.0.0.1/qm", "127.0.0.1", 1883, "qm"},
    };
    for (const Case& c : cases) {
        OutputTarget target;
        std::string error;
        const bool ok = c.mqtt ? parseMqttTarget(c.text, "--mqtt", target, error)
                               : parseTuioTarget(c.text, "--tuio", target, error);
        ASSERT_TRUE(ok) << c.text << ": " << error;
        EXPECT_EQ(target.host, c.host) << c.text;
        EXPECT_EQ(target.port, c.port) << c.text;
        EXPECT_EQ(target.prefix, c.prefix) << c.text;
        // What the dialog shows reads back to the same target.
        OutputTarget again;
        const std::string shown = c.mqtt ? mqttTargetText(target) : tuioTargetText(target);
        ASSERT_TRUE(c.mqtt ? parseMqttTarget(shown, "x", again, error) : parseTuioTarget(shown, "x", again, error))
            << shown;
        EXPECT_EQ(again.host + std::to_string(again.port) + again.prefix, c.host + std::to_string(c.port) + c.prefix);
    }
    OutputTarget off{"old", 1, "p"};
    std::string error;
    EXPECT_TRUE(parseTuioTarget("", "--tuio", off, error));
    EXPECT_FALSE(off.on());
}

TEST(OutputTarget, RefusedTextsNameTheOptionAndTheReason) {
    struct Case {
        bool mqtt;
        std::string text, reason;
    };
    const Case cases[] = {
        {false, "no-such-host.invalid", "does not resolve"},
        {false, "127.0.0.1:0", "not from 1 to 65535"},
        {false, "127.0.0.1:65536", "not from 1 to 65535"},
        {false, "127.0.0.1:33x", "not a number"},
        {false, "127.0.0.1:", "not a number"},
        {false, ":3333", "no host"},
        {false, "127.0.0.1/prefix", "HOST[:PORT]"},
        {true, "127.0.0.1/a+b", "wildcard"},
        {true, "127.0.0.1:1883/lab/#", "wildcard"},
        {true, "127.0.0.1/", "empty"},
        {true, "127.0.0.1/a//b", "empty level"},
        {true, "127.0.0.1:99999/qm", "not from 1 to 65535"},
        {true, "no-such-host.invalid/qm", "does not resolve"},
    };
    for (const Case& c : cases) {
        OutputTarget target{"kept", 7, "kept"};
        std::string error;
        const std::string option = c.mqtt ? "--mqtt" : "--tuio";
        EXPECT_FALSE(c.mqtt ? parseMqttTarget(c.text, option, target, error)
                            : parseTuioTarget(c.text, option, target, error))
            << c.text;
        EXPECT_EQ(error.rfind(option + ": ", 0), 0u) << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.text << ": " << error;
        EXPECT_EQ(target.host, "kept") << "a refused text changes nothing";
    }
    std::string error;
    EXPECT_FALSE(checkMqttTarget(OutputTarget{"127.0.0.1", 1883, "a b"}, error));
    EXPECT_EQ(error.rfind("[MqttPrefix]: ", 0), 0u) << error;
    EXPECT_FALSE(checkTuioTarget(OutputTarget{"127.0.0.1", 0, ""}, error));
    EXPECT_EQ(error.rfind("[TuioPort]: ", 0), 0u) << error;
    EXPECT_TRUE(checkTuioTarget(OutputTarget{}, error)) << "no host: off, nothing to check";
}

// ---- TUIO: sessions, angles and motion.

TEST(TuioTracker, SessionsLastWhileInViewAndRenewOnReturn) {
    TuioTracker tracker;
    auto ids = [&](uint64_t n, ResultTable table) {
        std::vector<int> out;
        for (const TuioObject& o : tracker.update(frame(n, std::move(table)))) out.push_back(o.sessionId);
        return out;
    };
    const std::vector<int> first = ids(1, {marker(0, "A", 100, 100), marker(1, "B", 400, 300)});
    ASSERT_EQ(first.size(), 2u);
    EXPECT_NE(first[0], first[1]);
    // Detector order changes and both move: each keeps its own id.
    EXPECT_EQ(ids(2, {marker(1, "B", 410, 300), marker(0, "A", 105, 100)}), (std::vector<int>{first[1], first[0]}));
    // Two markers of one pattern: each continues the nearer one.
    const std::vector<int> twins = ids(3, {marker(0, "A", 110, 100), marker(1, "B", 420, 300), marker(0, "A", 500, 50)});
    EXPECT_EQ(twins[0], first[0]);
    EXPECT_EQ(twins[1], first[1]);
    EXPECT_GT(twins[2], first[1]) << "a new appearance gets a new id";
    const std::vector<int> swapped = ids(4, {marker(0, "A", 495, 50), marker(0, "A", 115, 100)});
    EXPECT_EQ(swapped, (std::vector<int>{twins[2], first[0]}));
    // A leaves for one frame and returns: a new session.
    ids(5, {});
    const std::vector<int> back = ids(6, {marker(0, "A", 115, 100)});
    EXPECT_GT(back[0], twins[2]);
}

TEST(TuioTracker, MotionComesFromTheCaptureTimes) {
    TuioTracker tracker;
    tracker.update(frame(1, {marker(0, "A", 320, 240, 0, -1)}));
    // 6.4 px right and a quarter turn clockwise in 1/30 s.
    const TuioObject moved = tracker.update(frame(2, {marker(0, "A", 326.4, 240, 1, 0)}))[0];
    EXPECT_NEAR(moved.x, 326.4 / 640, 1e-6);
    EXPECT_NEAR(moved.y, 0.5, 1e-6);
    EXPECT_NEAR(moved.xSpeed, 0.01 * 30, 1e-3);
    EXPECT_NEAR(moved.ySpeed, 0.0, 1e-4);
    EXPECT_NEAR(moved.angle, kPi / 2, 1e-5);
    EXPECT_NEAR(moved.rotationSpeed, 0.25 * 30, 1e-2) << "turns per second";
    EXPECT_NEAR(moved.motionAccel, 0.3 * 30, 1e-1) << "from rest";
    // Turning on across the zero angle counts as a small step, not a full turn back.
    tracker.update(frame(3, {marker(0, "A", 326.4, 240, 0, 1)}));
    tracker.update(frame(4, {marker(0, "A", 326.4, 240, -1, 0)}));
    const TuioObject across = tracker.update(frame(5, {marker(0, "A", 326.4, 240, 0, -1)}))[0];
    EXPECT_NEAR(across.angle, 0.0, 1e-5);
    EXPECT_NEAR(across.rotationSpeed, 0.25 * 30, 1e-2);
}

TEST(TuioAngles, DirectionAndRotationMatchTheMarkersPose) {
    const float expected[][3] = {{0, -1, 0}, {1, 0, kPi / 2}, {0, 1, kPi}, {-1, 0, 3 * kPi / 2}};
    for (const auto& e : expected) EXPECT_NEAR(tuioAngle(marker(0, "A", 0, 0, e[0], e[1])), e[2], 1e-5);
    MarkerResult turned = marker(0, "A", 0, 0);
    // Facing the camera, then turned 30 degrees about the optical axis.
    const double c = std::cos(kPi / 6), s = std::sin(kPi / 6);
    const double R[3][3] = {{c, s, 0}, {s, -c, 0}, {0, 0, -1}};
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 3; ++column) turned.glMatrix[column * 4 + row] = R[row][column];
    float angles[3];
    tuioRotation(turned, angles);
    EXPECT_NEAR(std::fabs(angles[0]), kPi, 1e-5);
    EXPECT_NEAR(angles[1], 0, 1e-5);
    EXPECT_NEAR(angles[2], kPi / 6, 1e-5);
}

// ---- TUIO on the wire.

TEST(TuioOutput, EachFrameIsOneBundlePerProfileInOrder) {
    const int port = freeLoopbackPort(true);
    OscReceiver receiver(port);
    ASSERT_TRUE(receiver.listening());
    {
        TuioOutput output(loopback(port), "quillmark@test");
        sendInTurn(output, 1, 30, {marker(2, "Kite", 320, 240), marker(0, "Flag", 64, 48)});
        ASSERT_TRUE(receiver.waitFor([](const auto& m) { return fseqNumbers(m, "/tuio/3Dobj").size() == 30; }));
    }
    // ...and the last bundles of Stop.
    ASSERT_TRUE(receiver.waitFor([](const auto& m) { return fseqNumbers(m, "/tuio/3Dobj").size() == 31; }));
    const std::vector<OscMessage> messages = receiver.messages();
    std::vector<int> expectedFseq(31);
    for (int n = 0; n < 31; ++n) expectedFseq[n] = fseqNumbers(messages, "/tuio/2Dobj")[0] + n;
    EXPECT_EQ(fseqNumbers(messages, "/tuio/2Dobj"), expectedFseq);
    EXPECT_EQ(fseqNumbers(messages, "/tuio/3Dobj"), expectedFseq);
    // source, alive with both ids, set, set, fseq; each profile of a frame in one bundle.
    std::string commands;
    for (std::size_t i = 0; i < 5; ++i) commands += messages[i].strings[0] + " ";
    EXPECT_EQ(commands, "source alive set set fseq ");
    EXPECT_EQ(messages[0].strings[1], "quillmark@test");
    EXPECT_EQ(messages[1].ints.size(), 2u);
    const OscMessage& set2d = messages[2];
    EXPECT_EQ(set2d.path, "/tuio/2Dobj");
    EXPECT_EQ(set2d.types, "siiffffffff");
    EXPECT_EQ(set2d.ints[0], messages[1].ints[0]);
    EXPECT_EQ(set2d.ints[1], 2) << "class id: the pattern id";
    EXPECT_FLOAT_EQ(set2d.floats[0], 0.5f);
    EXPECT_FLOAT_EQ(set2d.floats[1], 0.5f);
    const OscMessage& set3d = messages[7];
    EXPECT_EQ(set3d.path, "/tuio/3Dobj");
    EXPECT_EQ(set3d.types, "siiffffffffffffff");
    // 10, -20, 500 mm in the default volume of 2000 x 1500 mm, 0 to 2000 mm deep.
    EXPECT_FLOAT_EQ(set3d.floats[0], 1010.0f / 2000);
    EXPECT_FLOAT_EQ(set3d.floats[1], 730.0f / 1500);
    EXPECT_FLOAT_EQ(set3d.floats[2], 0.25f);
}

// What a TUIO 1.1 client reads, through liblo's own oscdump: positions in
// 0..1 (clamped to the volume's faces), angles in [0, 2π), an empty alive
// when the output stops, and fseq rising over a Stop and a new Start.
TEST(TuioOutput, OscdumpSeesTheContractAcrossStopAndStart) {
    const int port = freeLoopbackPort(true);
    ToolOutput dump({"oscdump", "-L", std::to_string(port)});
    ASSERT_TRUE(waitForUdpListener(port));
    MarkerResult outside = marker(1, "Kite", 320, 240);
    outside.X = -900;  // left of a 1 m wide volume
    outside.Z = 1500;  // beyond its far face
    const double c = std::cos(kPi / 6), s = std::sin(kPi / 6);
    const double turned[16] = {c, -s, 0, 0, -s, -c, 0, 0, 0, 0, -1, 0, -900, -20, 1500, 1};  // -30 degrees about z
    std::copy(turned, turned + 16, outside.glMatrix);
    for (int run = 0; run < 2; ++run) {
        TuioOutput output(loopback(port), "quillmark@test", TuioVolume{1000, 1000, 0, 1000});
        sendInTurn(output, 1, 3, {outside});
    }
    const auto profile3d = [](const std::vector<std::string>& lines, const std::string& word) {
        std::vector<std::string> found;
        for (const std::string& line : lines)
            if (line.find("/tuio/3Dobj ") != std::string::npos && line.find("\"" + word + "\"") != std::string::npos)
                found.push_back(line.substr(line.find("/tuio/3Dobj ")));
        return found;
    };
    ASSERT_TRUE(dump.waitFor([&](const auto& lines) { return profile3d(lines, "fseq").size() == 8; }));
    const std::vector<std::string> lines = dump.lines();
    std::vector<int> fseq;
    for (const std::string& line : profile3d(lines, "fseq")) fseq.push_back(std::stoi(line.substr(line.rfind(' '))));
    for (std::size_t i = 1; i < fseq.size(); ++i) EXPECT_GT(fseq[i], fseq[i - 1]) << "fseq " << i;
    const std::vector<std::string> alive = profile3d(lines, "alive");
    ASSERT_EQ(alive.size(), 8u);
    EXPECT_EQ(alive[3], "/tuio/3Dobj s \"alive\"") << "Stop leaves nothing alive";
    EXPECT_EQ(alive[7], "/tuio/3Dobj s \"alive\"");
    EXPECT_NE(alive[4], alive[7]) << "the new Start's marker is alive again";
    const std::vector<std::string> sets = profile3d(lines, "set");
    ASSERT_EQ(sets.size(), 6u);
    std::istringstream words(sets.back());
    std::string path, types, set, session, classId;
    float x, y, z, a, b, rotation;
    words >> path >> types >> set >> session >> classId >> x >> y >> z >> a >> b >> rotation;
    EXPECT_EQ(types, "siiffffffffffffff");
    EXPECT_FLOAT_EQ(x, 0.0f);
    EXPECT_FLOAT_EQ(y, 0.48f);
    EXPECT_FLOAT_EQ(z, 1.0f);
    EXPECT_NEAR(a, kPi, 1e-5);
    EXPECT_NEAR(b, 0, 1e-5);
    EXPECT_NEAR(rotation, 2 * kPi - kPi / 6, 1e-5) << "-30 degrees is 330";
}

TEST(TuioVolume, TextsReadBackAndNonsenseIsRefused) {
    TuioVolume volume;
    std::string error;
    ASSERT_TRUE(parseTuioVolume("1200.5,800,100,2500", "--tuio-volume", volume, error)) << error;
    EXPECT_EQ(volume, (TuioVolume{1200.5, 800, 100, 2500}));
    EXPECT_EQ(tuioVolumeText(volume), "1200.5,800,100,2500");
    EXPECT_EQ(tuioVolumeText(TuioVolume{}), "2000,1500,0,2000");
    for (const char* bad : {"", "1,2,3", "1,2,3,4,5", "0,800,0,100", "100,800,500,500", "100,800,-1,5", "a,b,c,d", "nan,1,0,1"}) {
        EXPECT_FALSE(parseTuioVolume(bad, "--tuio-volume", volume, error)) << bad;
        EXPECT_EQ(error.rfind("--tuio-volume: ", 0), 0u) << error;
    }
}

TEST(TuioOutput, AReceiverThatIsNotListeningCostsNothing) {
    const int port = freeLoopbackPort(true);
    TuioOutput output(loopback(port), "quillmark@test");
    sendInTurn(output, 1, 60, {marker(0, "Flag", 64, 48)});
    EXPECT_EQ(output.bundlesSent(), 120u) << "sending to nobody is no failure";
    // A receiver that comes later gets the frames from then on.
    OscReceiver receiver(port);
    ASSERT_TRUE(receiver.listening());
    sendInTurn(output, 61, 70, {marker(0, "Flag", 64, 48)});
    ASSERT_TRUE(receiver.waitFor([](const auto& m) { return fseqNumbers(m, "/tuio/2Dobj").size() == 10; }));
    const std::vector<int> fseq = fseqNumbers(receiver.messages(), "/tuio/2Dobj");
    EXPECT_EQ(fseq.back() - fseq.front(), 9) << "frames 61 to 70, none of the earlier ones";
}

// ---- MQTT through a real broker.

TEST(MqttOutput, MarkerJsonIsExact) {
    MarkerResult r = marker(3, "Hook \"q\"", 320.5, 240.25, 0.6, -0.8);
    r.glMatrix[0] = std::nan("");
    EXPECT_EQ(markerJson(r, FrameStamp{42, 1700000000.125}),
              "{\"name\":\"Hook \\\"q\\\"\",\"id\":3,\"frame\":42,\"time\":1700000000.125,\"pos2d\":[320.5,240.25],"
              "\"pos3d\":[10,-20,500],\"dvec\":[0.6,-0.8],\"cf\":0.875,"
              "\"matrix\":[null,0,0,0,0,-1,0,0,0,0,-1,0,10,-20,500,1]}");
    EXPECT_EQ(markerTopic("lab/qm", "a/b+c#"), "lab/qm/markers/a_b_c_");
    // Names are single bytes: what is not UTF-8 a broker takes is escaped.
    const std::pair<const char*, const char*> names[] = {
        {"Caf\xC3\xA9 \xE2\x82\xAC", "Caf\xC3\xA9 \xE2\x82\xAC"},  // well-formed: kept
        {"Caf\xE9", "Caf%E9"},                                // Latin-1
        {"\xC0\xAF\xED\xA0\x80", "%C0%AF%ED%A0%80"},          // overlong, surrogate
        {"\xE2\x82", "%E2%82"},                              // cut short
        {"a\x01\x7F\xC2\x85", "a%01%7F%C2%85"},               // control characters
    };
    for (const auto& [name, escaped] : names) EXPECT_EQ(utf8Escaped(name), escaped) << name;
}

// What consumers see through the real broker and its own mosquitto_sub: a
// marker that leaves gets an empty message on its topic, at Stop too; a name
// that is not UTF-8 arrives escaped; Stop is a clean disconnect.
TEST(MqttOutput, MosquittoSubSeesMarkersLeaveEscapedNamesAndACleanStop) {
    const std::string log = "/tmp/quillmark-broker-" + std::to_string(getpid()) + ".log";
    Broker broker(freeLoopbackPort(), "log_dest file " + log + "\nlog_type notice");
    ASSERT_TRUE(broker.start());
    ToolOutput sub({"mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(broker.port()), "-t", "qm/#", "-v"});
    const auto has = [](const std::string& start) {
        return [start](const std::vector<std::string>& lines) {
            return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(start, 0) == 0; });
        };
    };
    const ResultTable fork{marker(1, "Fork", 100, 200)};
    ResultTable both = fork;
    both.push_back(marker(2, "Caf\xE9", 300, 200));
    {
        MqttOutput output(loopback(broker.port(), "qm"), allFields(), nullptr);
        // Frames go to nobody until mosquitto_sub has subscribed.
        uint64_t n = 0;
        for (int i = 0; i < 300 && !has("qm/markers/Caf%E9 {")(sub.lines()); ++i) {
            output.publishFrame(frame(++n, both));
            std::this_thread::sleep_for(30ms);
        }
        ASSERT_TRUE(has("qm/markers/Caf%E9 {\"name\":\"Caf%E9\",")(sub.lines()));
        output.publishFrame(frame(++n, fork));
        EXPECT_TRUE(sub.waitFor(has("qm/markers/Caf%E9 (null)"))) << "the empty message of a marker that left";
        EXPECT_FALSE(has("qm/markers/Fork (null)")(sub.lines()));
    }
    EXPECT_TRUE(sub.waitFor(has("qm/markers/Fork (null)"))) << "Stop: every marker leaves";
    // The broker logs the disconnect when it has handled it, which a slow
    // (sanitized) run may not have done yet.
    const std::regex cleanStop("Client quillmark-[^ ]+ disconnected\\.\n");
    std::string text;
    for (int i = 0; i < 200 && !std::regex_search(text, cleanStop); ++i) {
        if (i > 0) std::this_thread::sleep_for(50ms);
        std::ifstream in(log);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    broker.stop();
    std::remove(log.c_str());
    EXPECT_TRUE(std::regex_search(text, cleanStop)) << text;
}

class MqttTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(broker.start()); }
    // Publishes frames until `subscriber` has `count` messages.
    bool publishUntil(MqttOutput& output, MqttSubscriber& subscriber, std::size_t count, uint64_t& n) {
        for (int i = 0; i < 300 && subscriber.count() < count; ++i) {
            output.publishFrame(frame(++n, {marker(1, "Fork", 100, 200)}));
            std::this_thread::sleep_for(30ms);
        }
        return subscriber.count() >= count;
    }
    Broker broker{freeLoopbackPort()};
    Notices notices;
};

TEST_F(MqttTest, ReportsAndMarkersArriveAsAutomaticClientsAndJsonReaders) {
    MqttSubscriber subscriber(broker.port(), "qm/#");
    ASSERT_TRUE(subscriber.connected());
    DataFormat format;
    format.CheckName = format.CheckPos2d = format.CheckCf = 1;
    MqttOutput output(loopback(broker.port(), "qm"), format, notices.sink());
    for (int i = 0; i < 200 && !output.connected(); ++i) std::this_thread::sleep_for(10ms);
    const ResultTable table{marker(2, "Kite", 320.7, 240.2), marker(0, "Flag", 64, 48)};
    for (uint64_t n = 1; n <= 5; ++n) {
        output.publishFrame(frame(n, table));
        // Each frame once the one before has gone out: a busy machine drops none.
        for (int i = 0; i < 500 && output.framesPublished() < n; ++i) std::this_thread::sleep_for(1ms);
    }
    ASSERT_TRUE(subscriber.waitFor(15)) << subscriber.count();
    std::vector<std::string> reports, kites;
    for (const MqttMessage& m : subscriber.messages()) {
        if (m.topic == "qm/report") reports.push_back(m.payload);
        if (m.topic == "qm/markers/Kite") kites.push_back(m.payload);
    }
    EXPECT_EQ(reports, std::vector<std::string>(5, "Num= 2\nKite,320,240,0.875000\nFlag,64,48,0.875000\n"));
    ASSERT_EQ(kites.size(), 5u);
    EXPECT_EQ(kites[4], markerJson(table[0], frame(5, {}).stamp));
    EXPECT_TRUE(notices.all().empty()) << notices.all()[0];
}

TEST_F(MqttTest, PublishingResumesAfterTheBrokerRestarts) {
    MqttOutput output(loopback(broker.port(), "qm"), allFields(), notices.sink());
    uint64_t n = 0;
    {
        MqttSubscriber subscriber(broker.port(), "qm/report");
        ASSERT_TRUE(publishUntil(output, subscriber, 3, n));
    }
    broker.stop();
    ASSERT_TRUE(notices.waitFor(1));
    for (int i = 0; i < 10; ++i) output.publishFrame(frame(++n, {}));  // dropped, never waited for
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(notices.waitFor(2));
    MqttSubscriber subscriber(broker.port(), "qm/report");
    EXPECT_TRUE(publishUntil(output, subscriber, 3, n));
    const std::vector<std::string> told = notices.all();
    ASSERT_EQ(told.size(), 2u);
    EXPECT_NE(told[0].find("is lost"), std::string::npos) << told[0];
    EXPECT_NE(told[1].find("is back"), std::string::npos) << told[1];
    EXPECT_GE(output.framesDropped(), 10u);
}

TEST_F(MqttTest, NoBrokerAtStartGivesOneWarningAndPublishingStartsWhenItComes) {
    broker.stop();
    MqttOutput output(loopback(broker.port(), "qm"), allFields(), notices.sink());
    for (uint64_t n = 1; n <= 30; ++n) output.publishFrame(frame(n, {}));
    ASSERT_TRUE(notices.waitFor(1));
    EXPECT_NE(notices.all()[0].find("not reachable"), std::string::npos) << notices.all()[0];
    ASSERT_TRUE(broker.start());
    MqttSubscriber subscriber(broker.port(), "qm/report");
    uint64_t n = 30;
    EXPECT_TRUE(publishUntil(output, subscriber, 1, n));
    ASSERT_EQ(notices.all().size(), 2u);
    EXPECT_NE(notices.all()[1].find("is back"), std::string::npos) << notices.all()[1];
}
