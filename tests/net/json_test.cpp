// The JSON writer and every document it writes, byte for byte: one case per
// kind of value and one per output.
#include <gtest/gtest.h>
#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include "json.h"
#include "mqtt_output.h"
#include "node_messages.h"
#include "web_core.h"

namespace {

MarkerResult sampleMarker(const char* name) {
    MarkerResult r;
    r.patternId = 7;
    r.name = name;
    r.px = 320.5;
    r.py = 1e-7;
    r.X = 1e20;
    r.Y = -0.0;
    r.Z = 512;
    r.dx = 0.1;
    r.dy = std::nan("");
    r.cf = 1;
    r.area = -3;
    for (int k = 0; k < 8; ++k) (&r.vertex[0][0])[k] = k * 0.5 - 1;
    for (int e = 0; e < 16; ++e) r.glMatrix[e] = e == 3 ? INFINITY : e / 4.0;
    return r;
}

const FrameStamp kStamp{18446744073709551615ull, 1700000000.125};

// The marker members every output shares, after the name.
const std::string kMarkerTail =
    "\"id\":7,\"frame\":18446744073709551615,\"time\":1700000000.125,\"pos2d\":[320.5,1e-07],"
    "\"pos3d\":[1e+20,-0,512],\"dvec\":[0.1,null],\"cf\":1,"
    "\"matrix\":[0,0.25,0.5,null,1,1.25,1.5,1.75,2,2.25,2.5,2.75,3,3.25,3.5,3.75]";
const std::string kDrawn = ",\"area\":-3,\"vertex\":[[-1,-0.5],[0,0.5],[1,1.5],[2,2.5]]";

class CapturingViewer : public WebViewer {
public:
    void offer(std::shared_ptr<const WebUnit> unit) override { last = unit; }
    std::chrono::steady_clock::time_point lastActivity() const override { return {}; }
    void close() override {}
    std::shared_ptr<const WebUnit> last;
};

}  // namespace

TEST(JsonWriter, EachKindOfValue) {
    const struct {
        const char* what;
        std::string written, expected;
    } cases[] = {
        {"whole double", JsonWriter().number(80).take(), "80"},
        {"fraction", JsonWriter().number(62.5).take(), "62.5"},
        {"shortest round trip", JsonWriter().number(0.1).take(), "0.1"},
        {"small", JsonWriter().number(1e-7).take(), "1e-07"},
        {"large", JsonWriter().number(1e20).take(), "1e+20"},
        {"negative zero", JsonWriter().number(-0.0).take(), "-0"},
        {"not a number", JsonWriter().number(std::nan("")).take(), "null"},
        {"infinite", JsonWriter().number(-INFINITY).take(), "null"},
        {"signed int", JsonWriter().integer(-2147483647 - 1).take(), "-2147483648"},
        {"frame number", JsonWriter().integer(std::numeric_limits<uint64_t>::max()).take(), "18446744073709551615"},
        {"booleans", JsonWriter().openArray().boolean(true).boolean(false).null().closeArray().take(),
         "[true,false,null]"},
        {"plain text", JsonWriter().string("a\"b\\c<&>").take(), "\"a\\\"b\\\\c<&>\""},
        {"page-safe text", JsonWriter(JsonText::PageSafe).string("a\"b\\c<&>").take(),
         "\"a\\\"b\\\\c\\u003c\\u0026\\u003e\""},
        {"bytes not UTF-8", JsonWriter().string("Caf\xE9 \x01\xC3\xA9").take(), "\"Caf%E9 %01\xC3\xA9\""},
        {"empty containers", JsonWriter().openObject().key("a").openArray().closeArray().key("b").openObject()
                                 .closeObject().closeObject().take(),
         "{\"a\":[],\"b\":{}}"},
        {"commas", JsonWriter().openArray().numbers(std::array<double, 2>{1, 2}.data(), 2).openObject().key("x")
                       .integer(1).key("y").string("z").closeObject().integer(3).closeArray().take(),
         "[[1,2],{\"x\":1,\"y\":\"z\"},3]"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.written, c.expected) << c.what;
    EXPECT_EQ(jsonString("q\"<"), "\"q\\\"<\"");
}

// MQTT's marker, the feeds' and /api/markers' frame, detect --json's line.
TEST(JsonDocuments, EachOutputsBytes) {
    const ResultTable table{sampleMarker("A<b>&\"c\\\x01\xE9"), sampleMarker("B")};
    const std::string nameA = "\"name\":\"A<b>&\\\"c\\\\%01%E9\",";
    EXPECT_EQ(markerJson(table[0], kStamp), "{" + nameA + kMarkerTail + "}");

    const std::string frameMembers = "\"frame\":18446744073709551615,\"time\":1700000000.125,\"width\":640,"
                                     "\"height\":480,\"markers\":[{" + nameA + kMarkerTail + kDrawn +
                                     "},{\"name\":\"B\"," + kMarkerTail + kDrawn + "}]";
    const JsonFrame frame{&table, kStamp, 640, 480};
    EXPECT_EQ(frameJson(frame), "{" + frameMembers + "}");
    EXPECT_EQ(frameJson(JsonFrame{}), "{\"frame\":0,\"time\":0,\"width\":0,\"height\":0,\"markers\":[]}");
    EXPECT_EQ(imageFrameJson("scenes/a \"b\".png", frame),
              "{\"image\":\"scenes/a \\\"b\\\".png\"," + frameMembers + "}");

    JsonStatus status;
    status.camera = "file:<a>.avi";
    status.width = 1280;
    status.height = 720;
    status.fps = 28.5714;
    status.frame = 5;
    status.tcpClients = 3;
    status.tuio = "udp 127.0.0.1:3333 & ok";
    status.mqtt = "off";
    status.droppedForSlowClients = 12;
    status.webConnections = 2;
    status.imageViewers = 1;
    status.refusedRequests = 4;
    status.uptimeSeconds = 61.9;
    EXPECT_EQ(statusJson(status),
              "{\"camera\":\"file:\\u003ca\\u003e.avi\",\"width\":1280,\"height\":720,\"fps\":28.6,\"frame\":5,"
              "\"tcpClients\":3,\"tuio\":\"udp 127.0.0.1:3333 \\u0026 ok\",\"mqtt\":\"off\","
              "\"droppedForSlowClients\":12,\"webConnections\":2,\"imageViewers\":1,\"refusedRequests\":4,"
              "\"uptime\":61}");
    // A fusion node's status lists its camera nodes after the uptime.
    status.fusion = true;
    status.nodes = {{"left", false, 9, 8, 1, 0, true}, {"<b>", true, 0, 0, 0, 2, false}};
    const std::string fused = statusJson(status);
    EXPECT_EQ(fused.substr(fused.find("\"uptime\"")),
              "\"uptime\":61,\"nodes\":[{\"name\":\"left\",\"lost\":false,\"frames\":9,\"fused\":8,\"late\":1,"
              "\"refused\":0,\"worldPose\":true},{\"name\":\"\\u003cb\\u003e\",\"lost\":true,\"frames\":0,"
              "\"fused\":0,\"late\":0,\"refused\":2,\"worldPose\":false}]}");
    EXPECT_EQ(catalogueJson({{"K<i>te&\xE9", 62.5, true, true}, {"Fork", 80, false, false}}),
              "[{\"row\":0,\"name\":\"K\\u003ci\\u003ete\\u0026%E9\",\"width\":62.5,\"inUse\":true,"
              "\"thumbnail\":\"/thumbnail/0.jpg\"},{\"row\":1,\"name\":\"Fork\",\"width\":80,\"inUse\":false,"
              "\"thumbnail\":null}]");
    EXPECT_EQ(catalogueJson({}), "[]");
}

// What the page's server itself answers and offers, from the frames it got.
TEST(JsonDocuments, ThePagesServerSendsTheFrameDocument) {
    WebCore core(WebOptions{}, {{"Kite", 62.5, true, {1, 2}}}, [] {
        WebStatus status;
        status.camera = "synthetic", status.tcpClients = 3;
        return status;
    });
    EXPECT_EQ(core.route("/api/markers").body, frameJson(JsonFrame{}));
    CapturingViewer viewer;
    core.addViewer(&viewer, false);
    auto arrived = std::make_shared<WebFrame>(WebFrame{{sampleMarker("B")}, kStamp, 640, 480});
    core.frameArrived(arrived);
    const std::string expected = frameJson(JsonFrame{&arrived->results, kStamp, 640, 480});
    ASSERT_TRUE(viewer.last);
    ASSERT_EQ(viewer.last->size(), 1u);
    EXPECT_EQ(viewer.last->front().first, expected);
    EXPECT_EQ(core.route("/api/markers").body, expected);
    EXPECT_EQ(core.route("/api/catalogue").body, catalogueJson({{"Kite", 62.5, true, true}}));
    EXPECT_EQ(core.route("/api/status").body.rfind("{\"camera\":\"synthetic\",\"width\":640,\"height\":480,\"fps\":0,"
                                                   "\"frame\":18446744073709551615,\"tcpClients\":3,",
                                                   0),
              0u);
    core.removeViewer(&viewer);
}

// Bodies and the world frame: members written only when given, so a frame
// without them is what it always was.
TEST(JsonDocuments, BodiesAndTheWorldFrame) {
    BodyPose body;
    body.name = "Cube";
    body.pose.t[0] = 10;
    body.pose.t[1] = -20.5;
    body.pose.t[2] = 800;
    const double q[4] = {0.5, 0.5, -0.5, 0.5};
    for (int k = 0; k < 4; ++k) body.quaternion[k] = q[k];
    for (int e = 0; e < 16; ++e) body.glMatrix[e] = e % 5 == 0;
    body.members = {"Cube_1", "Cube_2"};
    body.rejected = {"Cube<3>"};
    body.rmsPx = 0.25;
    const std::string bodyText =
        "{\"name\":\"Cube\",\"frame\":9,\"time\":12.5,\"position\":[10,-20.5,800],\"quaternion\":[0.5,0.5,-0.5,0.5],"
        "\"matrix\":[1,0,0,0,0,1,0,0,0,0,1,0,0,0,0,1],\"members\":[\"Cube_1\",\"Cube_2\"],"
        "\"rejected\":[\"Cube<3>\"],\"rms\":0.25";
    const FrameStamp stamp{9, 12.5};
    EXPECT_EQ(bodyJson(body, stamp), bodyText + "}");
    BodyPose placed = body;
    placed.hasWorld = true;
    placed.worldPosition[2] = 1e-3;
    EXPECT_EQ(bodyJson(placed, stamp),
              bodyText + ",\"world\":{\"position\":[0,0,0.001],\"quaternion\":[1,0,0,0]}}");

    const std::string frameHead = "{\"frame\":9,\"time\":12.5,\"width\":4,\"height\":3,\"markers\":[]";
    const BodyTable none, one{body};
    JsonWorldPose camera;
    const struct {
        const char* what;
        JsonFrame frame;
        std::string expected;
    } cases[] = {
        {"no bodies file", {nullptr, stamp, 4, 3}, frameHead + "}"},
        {"no body in view", {nullptr, stamp, 4, 3, &none}, frameHead + ",\"bodies\":[]}"},
        {"one body", {nullptr, stamp, 4, 3, &one}, frameHead + ",\"bodies\":[" + bodyText + "}]}"},
        {"camera not located", {nullptr, stamp, 4, 3, &none, &camera}, frameHead + ",\"bodies\":[],\"camera\":null}"},
    };
    for (const auto& c : cases) EXPECT_EQ(frameJson(c.frame), c.expected) << c.what;
    camera = {true, {1, 2, 3}, {0, 0, 0, 1}};
    EXPECT_EQ(frameJson({nullptr, stamp, 4, 3, &one, &camera}),
              frameHead + ",\"bodies\":[" + bodyText + "}],\"camera\":{\"position\":[1,2,3],\"quaternion\":[0,0,0,1]}}");

    JsonWriter marker;
    marker.openObject().key("name").string("A");
    writeWorldMember(marker, camera.position, camera.quaternion);
    EXPECT_EQ(marker.closeObject().take(), "{\"name\":\"A\",\"world\":{\"position\":[1,2,3],\"quaternion\":[0,0,0,1]}}");
    EXPECT_EQ(bodyTopic("lab/qm", "a/b+c#"), "lab/qm/bodies/a_b_c_");
}

// What a camera node sends the fusion node, byte for byte.
TEST(JsonDocuments, NodeMessages) {
    NodeFrame frame;
    frame.node = "left";
    frame.frame = 18446744073709551615ull;
    frame.time = 1700000000.125;
    frame.width = 640;
    frame.height = 480;
    const std::string head = "{\"node\":\"left\",\"frame\":18446744073709551615,\"time\":1700000000.125,"
                             "\"width\":640,\"height\":480,\"camera\":";
    EXPECT_EQ(nodeFrameJson(frame), head + "null,\"markers\":[]}");
    frame.camera = NodeWorldPose{{1, -2.5, 1e20}, {0.5, 0.5, -0.5, 0.5}};
    frame.markers.push_back({"A\"b", 3, 0.75, {{0.5, 1}, {2, 3}, {NAN, 4}, {-0.0, 1e-7}}});
    EXPECT_EQ(nodeFrameJson(frame),
              head + "{\"position\":[1,-2.5,1e+20],\"quaternion\":[0.5,0.5,-0.5,0.5]},\"markers\":[{\"name\":\"A\\\"b\","
                     "\"id\":3,\"cf\":0.75,\"corners\":[[0.5,1],[2,3],[null,4],[-0,1e-07]]}]}");

    NodeCamera camera{"left", 640, 480, {{500, 0, 320.5, 0}, {0, 500, 240, 0}, {0, 0, 1, 0}}};
    EXPECT_EQ(nodeCameraJson(camera), "{\"node\":\"left\",\"width\":640,\"height\":480,"
                                      "\"projection\":[[500,0,320.5,0],[0,500,240,0],[0,0,1,0]]}");
}

TEST(JsonDocuments, TopicNamesANodeMayUse) {
    const struct {
        std::string name;
        bool isPrefix, valid;
    } cases[] = {
        {"left", false, true},
        {"caméra-2_x.y", false, true},
        {std::string(kNodeNameMax, 'n'), false, true},
        {std::string(kNodeNameMax + 1, 'n'), false, false},
        {"", false, false},
        {"a+b", false, false},
        {"a#", false, false},
        {"a/b", false, false},
        {"a b", false, false},
        {"a\tb", false, false},
        {"a\nb", false, false},
        {std::string("a\0b", 3), false, false},
        {"a\x01", false, false},
        {"\xE9t\xE9", false, false},  // not UTF-8
        {"lab/qm", true, true},
        {"lab", true, true},
        {"lab//qm", true, false},
        {"/lab", true, false},
        {"lab/", true, false},
        {"lab/+", true, false},
        {"lab/a b", true, false},
    };
    for (const auto& c : cases) EXPECT_EQ(validTopicName(c.name, c.isPrefix), c.valid) << c.name << " " << c.isPrefix;
}
