// The body commands over a real socket, against the headless executable
// filming a still of two rendered bodies: their poses, the camera's in the
// world, help, and nothing changed without a bodies file.
#include <gtest/gtest.h>
#include <filesystem>
#include <sstream>
#include <opencv2/imgcodecs.hpp>
#include "body_pose.h"
#include "command_run.h"
#include "headless_run.h"
#include "paths.h"
#include "render.h"
#include "temp_dir.h"
#include "test_client.h"

namespace {

constexpr double kWidthMm = 80.0;

class BodyCommands : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::copy(std::filesystem::path(sourceDir()) / "Data", dir.file("Data"),
                              std::filesystem::copy_options::recursive);
        std::filesystem::remove(dir.file("Data/config.txt"));
        ASSERT_EQ(loadCameraParam(dir.file("Data/camera_para.dat").c_str(), 1, &camera), 0);
        // "pair" is Flag and Fork side by side, "room" Kite and Hook.
        const std::vector<RigidPose> layout = boardLayout(2, 1, kWidthMm, kWidthMm / 2);
        std::vector<Body> list{{"pair", {}}, {"room", {}}};
        std::vector<PrintedMarker> printed;
        const char* names[4] = {"Flag", "Fork", "Kite", "Hook"};
        for (int b = 0; b < 2; ++b) {
            double transform[3][4];
            poseFromView(camera, 800, 20, b ? -25 : 15, b ? 30 : -10, b ? 470 : 170, 240, transform);
            truth[b] = poseFromTransform(transform);
            PrintedBody body;
            poseToTransform(truth[b], body.transform);
            for (int m = 0; m < 2; ++m) {
                BodyMember member;
                member.pattern = names[2 * b + m];
                setMemberPose(member, layout[static_cast<size_t>(m)]);
                list[static_cast<size_t>(b)].members.push_back(member);
                PrintedMarker marker;
                readPatternImage(dir.file("Data/00" + std::to_string(2 * b + m) + ".patt").c_str(), marker.pattern);
                marker.widthMm = kWidthMm;
                poseToTransform(layout[static_cast<size_t>(m)], marker.transform);
                body.members.push_back(marker);
            }
            const std::vector<PrintedMarker> placed = placeBody(body);
            printed.insert(printed.end(), placed.begin(), placed.end());
        }
        writeFile(dir.file("Data/body_list.txt"), bodyListText(list));
        RenderSettings settings;
        settings.width = camera.xsize;
        settings.height = camera.ysize;
        ASSERT_TRUE(cv::imwrite(dir.file("bodies.png"), renderFrame(camera, printed, settings)));
    }

    std::vector<std::string> args(std::vector<std::string> rest) {
        rest.insert(rest.begin(), {"-C", dir.path(), "--camera", "file:" + dir.file("bodies.png"), "--mode",
                                   "command", "--refine"});
        return rest;
    }

    TempDir dir;
    CameraParam camera;
    RigidPose truth[2];
};

// Seven numbers of a pose from a reply line, from field `first` on.
RigidPose poseOfLine(const std::string& line, size_t first) {
    std::vector<double> v;
    std::stringstream in(line);
    std::string field;
    for (size_t k = 0; std::getline(in, field, ','); ++k)
        if (k >= first && k < first + 7) v.push_back(std::stod(field));
    if (v.size() != 7) return RigidPose{};
    return poseFromQuaternion(v[3], v[4], v[5], v[6], v[0], v[1], v[2]);
}

double distanceMm(const RigidPose& a, const RigidPose& b) {
    return std::hypot(a.t[0] - b.t[0], a.t[1] - b.t[1], a.t[2] - b.t[2]);
}

std::vector<std::string> ask(TestClient& client, const std::string& command) {
    std::vector<std::string> lines;
    client.sendText(command + "\n");
    if (!client.readReport(lines)) lines = {"(no reply)"};
    return lines;
}

TEST_F(BodyCommands, BodiesBodyAndCameraReplyWithThePosesOfTheFrame) {
    Headless run(args({"--world", "room"}));
    const int port = run.listeningPort();
    ASSERT_GT(port, 0) << run.output() << run.errors();
    TestClient client(port);
    std::vector<std::string> bodies;
    for (int attempt = 0; attempt < 100 && bodies.size() != 2; ++attempt) bodies = ask(client, "bodies");
    ASSERT_EQ(bodies.size(), 2u);
    for (int b = 0; b < 2; ++b) {
        const std::string& line = bodies[static_cast<size_t>(b)];
        EXPECT_EQ(line.rfind(b ? "room," : "pair,", 0), 0u) << line;
        EXPECT_NE(line.find(",2,"), std::string::npos) << "both members used: " << line;
        const RigidPose served = poseOfLine(line, 1);
        EXPECT_LT(distanceMm(served, truth[b]), 0.005 * truth[b].t[2]) << line;
        EXPECT_LT(rotationBetween(served.R, truth[b].R) * 57.3, 0.5) << line;
    }
    const struct {
        const char* command;
        std::vector<std::string> reply;
    } cases[] = {
        {"body pair", {bodies[0]}},
        {"  body   room  now", {bodies[1]}},
        {"body nothing", {}},
        {"body", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(ask(client, c.command), c.reply) << c.command;

    // The camera's pose in the world is the world body's pose turned round.
    client.sendText("camera\n");
    std::string line;
    ASSERT_TRUE(client.readLine(line));
    const RigidPose camera = poseOfLine(line, 0);
    const RigidPose expected = inversePose(truth[1]);
    EXPECT_LT(distanceMm(camera, expected), 0.005 * truth[1].t[2]) << line;
    EXPECT_LT(rotationBetween(camera.R, expected.R) * 57.3, 0.5) << line;

    client.sendText("help\n");
    std::string help;
    for (int k = 0; k < 10 && client.readLine(line); ++k) help += line + "\n";
    EXPECT_NE(help.find("quit       Dissconnect this connection.\n"
                        "bodies     Get all rigid body poses.\n"
                        "body <name> Get the pose of the rigid body having specified name.\n"
                        "camera     Get the camera pose in the world.\n\n"),
              std::string::npos)
        << help;
    EXPECT_EQ(ask(client, "all").size(), 4u) << "the markers are reported as ever";
    run.signal(SIGTERM);
    EXPECT_EQ(run.exitStatus(), 0);
}

TEST_F(BodyCommands, WithoutABodiesFileTheCommandsAreUnknownAndHelpAsEver) {
    std::filesystem::remove(dir.file("Data/body_list.txt"));
    Headless run(args({}));
    const int port = run.listeningPort();
    ASSERT_GT(port, 0) << run.output() << run.errors();
    TestClient client(port);
    std::string line;
    for (const char* command : {"bodies\n", "body pair\n", "camera\n"}) {
        client.sendText(command);
        ASSERT_TRUE(client.readLine(line));
        EXPECT_EQ(line, "*error") << command;
    }
    client.sendText("help\n");
    std::string help;
    for (int k = 0; k < 7 && client.readLine(line); ++k) help += line + "\n";
    EXPECT_EQ(help, "<<< COMMAND LIST >>>\nall        Get all marker information.\n"
                    "get <name> Get marker information having specified name.\nhelp       Show command list.\n"
                    "exit       Dissconnect this connection.\nquit       Dissconnect this connection.\n\n");
    EXPECT_EQ(help.find("bodies"), std::string::npos) << help;
    run.signal(SIGTERM);
    EXPECT_EQ(run.exitStatus(), 0);
}

TEST_F(BodyCommands, AWorldBodyThatIsNotTrackedStopsTheRunNamingIt) {
    Headless run(args({"--world", "attic"}));
    EXPECT_NE(run.exitStatus(), 0);
    EXPECT_NE((run.output() + run.errors()).find("the world body attic is not a tracked body of Data/body_list.txt"),
              std::string::npos)
        << run.output() << run.errors();
}

} // namespace

namespace {

TEST_F(BodyCommands, DetectJsonCarriesTheBodiesAndTheCameraInTheWorld) {
    const CommandRun with = runQuillmark(quillmarkExe(), "detect --json --refine --world room " + dir.file("bodies.png"), dir);
    EXPECT_EQ(with.status, 0) << with.err;
    for (const char* member : {"\"bodies\":[{\"name\":\"pair\"", "{\"name\":\"room\"", "\"members\":[\"Flag\",\"Fork\"]",
                               "\"rejected\":[]", "\"camera\":{\"position\":[", "\"world\":{\"position\":["})
        EXPECT_NE(with.out.find(member), std::string::npos) << member << " in " << with.out;
    std::filesystem::remove(dir.file("Data/body_list.txt"));
    const CommandRun without = runQuillmark(quillmarkExe(), "detect --json " + dir.file("bodies.png"), dir);
    EXPECT_EQ(without.out.find("\"bodies\""), std::string::npos) << without.out;
    EXPECT_EQ(without.out.find("\"world\""), std::string::npos) << without.out;
}

} // namespace
