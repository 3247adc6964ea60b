// What a fusion reads from a camera node: the node's own texts read back
// to the same records, and every kind of bad text gives no record and a
// reason naming what is wrong.
#include <gtest/gtest.h>
#include <cmath>
#include "node_messages.h"

namespace {

const std::string kFrame =
    R"({"node":"left","frame":42,"time":1765180800.5,"width":640,"height":480,)"
    R"("camera":{"position":[0,-1200,900],"quaternion":[1,0,0,0]},)"
    R"("markers":[{"name":"Kite","id":3,"cf":0.9,"corners":[[10,20],[30.5,20],[30.5,40],[10,40]]}]})";
const std::string kCamera =
    R"({"node":"left","width":640,"height":480,"projection":[[800,0,320,0],[0,800,240,0],[0,0,1,0]]})";

// `text` with its first `from` replaced by `to`.
std::string with(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return text.replace(at, from.size(), to);
}

std::string manyMarkers(std::size_t count) {
    std::string list;
    for (std::size_t k = 0; k < count; ++k)
        list += std::string(k ? "," : "") + R"({"name":"M","id":1,"cf":1,"corners":[[1,1],[2,1],[2,2],[1,2]]})";
    return with(kFrame, kFrame.substr(kFrame.find("\"markers\"")), "\"markers\":[" + list + "]}");
}

} // namespace

TEST(NodeMessages, TheNodesTextsReadBack) {
    NodeFrame frame;
    frame.node = "left";
    frame.frame = 18446744073709551615ull;
    frame.time = 1765180800.0333;
    frame.width = 1280;
    frame.height = 720;
    frame.camera = NodeWorldPose{{-1.5, 2e3, 900}, {0.5, -0.5, 0.5, 0.5}};
    frame.markers.push_back({"Kite+#/", 49, 0.75, {{-3.25, 0}, {1279, 0.125}, {1279, 719}, {0, 719}}});
    std::string why;
    const auto read = readNodeFrame(nodeFrameJson(frame), why);
    ASSERT_TRUE(read) << why;
    EXPECT_EQ(read->node, frame.node);
    EXPECT_EQ(read->frame, frame.frame);
    EXPECT_EQ(read->time, frame.time);
    EXPECT_EQ(read->width, 1280);
    EXPECT_EQ(read->height, 720);
    ASSERT_TRUE(read->camera);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(read->camera->position[k], frame.camera->position[k]);
    for (int k = 0; k < 4; ++k) EXPECT_EQ(read->camera->quaternion[k], frame.camera->quaternion[k]);
    ASSERT_EQ(read->markers.size(), 1u);
    EXPECT_EQ(read->markers[0].name, "Kite+#/");
    EXPECT_EQ(read->markers[0].id, 49);
    EXPECT_EQ(read->markers[0].cf, 0.75);
    for (int k = 0; k < 8; ++k) EXPECT_EQ((&read->markers[0].corner[0][0])[k], (&frame.markers[0].corner[0][0])[k]);

    frame.camera.reset();
    frame.markers.clear();
    const auto bare = readNodeFrame(nodeFrameJson(frame), why);
    ASSERT_TRUE(bare) << why;
    EXPECT_FALSE(bare->camera);
    EXPECT_TRUE(bare->markers.empty());

    NodeCamera camera{"right", 640, 480, {{812.5, 0, 319.5, 0}, {0, 810, 241, 0}, {0, 0, 1, 0}}};
    const auto readCamera = readNodeCamera(nodeCameraJson(camera), why);
    ASSERT_TRUE(readCamera) << why;
    EXPECT_EQ(readCamera->node, "right");
    EXPECT_EQ(readCamera->width, 640);
    for (int k = 0; k < 12; ++k) EXPECT_EQ((&readCamera->projection[0][0])[k], (&camera.projection[0][0])[k]);
}

TEST(NodeMessages, BadFramesAreRefusedWithTheReason) {
    const struct {
        const char* what;
        std::string text;
        std::string why;  // a part of the reason; empty: read
    } cases[] = {
        {"the sample", kFrame, ""},
        {"unknown members are ignored", with(kFrame, "\"frame\"", R"("future":{"x":[1,"y"]},"frame")"), ""},
        {"unknown member inside a marker", with(kFrame, "\"cf\"", R"("seen":true,"cf")"), ""},
        {"no camera pose yet", with(kFrame, kFrame.substr(kFrame.find("{\"position"), 49), "null"), ""},
        {"empty", "", "empty"},
        {"cut short", kFrame.substr(0, kFrame.size() / 2), "not JSON"},
        {"not an object", "[1,2]", "not a JSON object"},
        {"trailing garbage", kFrame + "}", "not JSON"},
        {"over the byte cap", with(kFrame, "\"frame\"", "\"pad\":\"" + std::string(kNodeMessageMaxBytes, 'x') +
                                                           "\",\"frame\""), "bytes"},
        {"nested without end", with(kFrame, "\"frame\"", "\"x\":" + std::string(20, '[') + std::string(20, ']') +
                                                             ",\"frame\""), "nests deeper"},
        {"member missing", with(kFrame, "\"time\":1765180800.5,", ""), "\"time\" is missing"},
        {"frame negative", with(kFrame, "\"frame\":42", "\"frame\":-1"), "\"frame\" is out of range"},
        {"frame not whole", with(kFrame, "\"frame\":42", "\"frame\":4.5"), "\"frame\" is not a whole number"},
        {"time a string", with(kFrame, "1765180800.5", "\"now\""), "\"time\" is not a number"},
        {"time overflowing", with(kFrame, "1765180800.5", "1e400"), "beyond a double's range"},
        {"width zero", with(kFrame, "\"width\":640", "\"width\":0"), "\"width\" is out of range"},
        {"height beyond the cap", with(kFrame, "\"height\":480", "\"height\":16385"), "\"height\" is out of range"},
        {"node with a space", with(kFrame, "\"left\"", "\"le ft\""), "\"node\" is not a node name"},
        {"node with +", with(kFrame, "\"left\"", "\"le+ft\""), "\"node\" is not a node name"},
        {"node with #", with(kFrame, "\"left\"", "\"#\""), "\"node\" is not a node name"},
        {"node with /", with(kFrame, "\"left\"", "\"a/b\""), "\"node\" is not a node name"},
        {"node empty", with(kFrame, "\"left\"", "\"\""), "\"node\" is not a node name"},
        {"node too long", with(kFrame, "\"left\"", "\"" + std::string(kNodeNameMax + 1, 'n') + "\""),
         "\"node\" is not a node name"},
        {"camera a number", with(kFrame, kFrame.substr(kFrame.find("{\"position"), 49), "7"),
         "\"camera\" is neither null nor an object"},
        {"camera position short", with(kFrame, "[0,-1200,900]", "[0,-1200]"), "\"camera.position\" is not an array"},
        {"camera quaternion not unit", with(kFrame, "[1,0,0,0]", "[2,0,0,0]"), "\"camera.quaternion"},
        {"camera quaternion zero", with(kFrame, "[1,0,0,0]", "[0,0,0,0]"), "\"camera.quaternion\" is not of unit"},
        {"camera position not finite", with(kFrame, "[0,-1200,900]", "[0,null,900]"),
         "\"camera.position[1]\" is not a number"},
        {"markers an object", with(kFrame, "\"markers\":[", "\"markers\":7,\"x\":["),
         "\"markers\" is not an array"},
        {"marker a string", with(kFrame, kFrame.substr(kFrame.find("{\"name\"")), "\"Kite\"]}"),
         "\"markers[0]\" is not an object"},
        {"pattern name a number", with(kFrame, "\"Kite\"", "7"), "\"markers[0].name\" is not a string"},
        {"pattern name empty", with(kFrame, "\"Kite\"", "\"\""), "\"markers[0].name\" is not 1 to"},
        {"pattern name with a control character", with(kFrame, "\"Kite\"", "\"Ki\\u0001te\""), "control character"},
        {"id negative", with(kFrame, "\"id\":3", "\"id\":-1"), "\"markers[0].id\" is out of range"},
        {"cf above one", with(kFrame, "\"cf\":0.9", "\"cf\":2"), "\"markers[0].cf\" is out of range"},
        {"corners not numbers", with(kFrame, "[30.5,20]", "[\"30.5\",20]"), "\"markers[0].corners[1][0]\" is not a number"},
        {"a corner not finite (written null)", with(kFrame, "[10,40]", "[10,null]"),
         "\"markers[0].corners[3][1]\" is not a number"},
        {"five corners", with(kFrame, "[10,40]]", "[10,40],[1,1]]"), "\"markers[0].corners\" is not an array of 4"},
        {"a corner of three numbers", with(kFrame, "[10,20]", "[10,20,0]"), "\"markers[0].corners[0]\" is not an array of 2"},
        {"a corner far outside the frame", with(kFrame, "[10,20]", "[1e6,20]"), "\"markers[0].corners[0][0]\" is out of range"},
        {"markers at the cap", manyMarkers(kNodeMarkersMax), ""},
        {"markers beyond the cap", manyMarkers(kNodeMarkersMax + 1), "over the 256 allowed"},
    };
    for (const auto& c : cases) {
        std::string why;
        const auto frame = readNodeFrame(c.text, why);
        if (c.why.empty()) {
            EXPECT_TRUE(frame) << c.what << ": " << why;
        } else {
            EXPECT_FALSE(frame) << c.what;
            EXPECT_NE(why.find(c.why), std::string::npos) << c.what << ": " << why;
        }
    }
}

TEST(NodeMessages, BadCamerasAreRefusedWithTheReason) {
    const struct {
        const char* what;
        std::string text;
        std::string why;
    } cases[] = {
        {"the sample", kCamera, ""},
        {"the node's goodbye (empty)", "", "empty"},
        {"cut short", kCamera.substr(0, 30), "not JSON"},
        {"node name with a slash", with(kCamera, "\"left\"", "\"l/r\""), "\"node\" is not a node name"},
        {"width missing", with(kCamera, "\"width\":640,", ""), "\"width\" is missing"},
        {"two rows", with(kCamera, ",[0,0,1,0]]", "]"), "\"projection\" is not an array of 3 rows"},
        {"a row of three", with(kCamera, "[0,0,1,0]", "[0,0,1]"), "\"projection[2]\" is not an array of 4"},
        {"a number not finite", with(kCamera, "800,0,320", "800,null,320"), "\"projection[0][1]\" is not a number"},
        {"singular", with(kCamera, "[0,0,1,0]", "[0,0,0,1]"), "\"projection\" is singular"},
    };
    for (const auto& c : cases) {
        std::string why;
        const auto camera = readNodeCamera(c.text, why);
        if (c.why.empty()) {
            EXPECT_TRUE(camera) << c.what << ": " << why;
        } else {
            EXPECT_FALSE(camera) << c.what;
            EXPECT_NE(why.find(c.why), std::string::npos) << c.what << ": " << why;
        }
    }
}
