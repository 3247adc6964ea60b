// quillmark body through the real executable: measuring a body from
// rendered views against the truth, and its refusals, which leave the
// bodies file as it was; a printed board found again by detect with the
// layout written for it; the listing with its refusals.
#include <gtest/gtest.h>
#include <cmath>
#include <filesystem>
#include <map>
#include <sstream>
#include <opencv2/imgcodecs.hpp>
#include "bodies.h"
#include "body_pose.h"
#include "body_views.h"
#include "command_run.h"
#include "paths.h"
#include "render.h"

namespace {

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The demo catalogue: Flag, Fork, Kite and Hook, 80 mm.
Catalogue demoCatalogue() {
    Catalogue catalogue;
    for (const char* name : {"Flag", "Fork", "Kite", "Hook"})
        catalogue.push_back({static_cast<int>(catalogue.size()), name, "", 80.0, true});
    return catalogue;
}

class BodyCommand : public testing::Test {
protected:
    void SetUp() override {
        std::filesystem::copy(sourceDir() + "/Data", dir.file("Data"));
        camera = defaultCameraParam();
        ASSERT_EQ(saveCameraParam(dir.file("Data/camera_para.dat").c_str(), 1, &camera), 0);
    }
    CommandRun run(const std::string& arguments) const { return runQuillmark(quillmarkExe(), arguments, dir); }

    // Flag flat at the origin, Fork beside it turned 90 degrees in its
    // plane, Kite beyond Fork folded up by 30 degrees, as a bent card.
    static std::vector<RigidPose> bentCard() {
        std::vector<RigidPose> layout(3);
        layout[1] = poseFromQuaternion(std::cos(M_PI / 4), 0, 0, std::sin(M_PI / 4), 110, 0, 0);
        layout[2] = poseFromQuaternion(std::cos(M_PI / 12), 0, -std::sin(M_PI / 12), 0, 220, 10, 15);
        return layout;
    }

    // `count` views of the card's members `shown` (indices into bentCard),
    // from 550 to 850 mm at varied sides, into `folder`; in view `moved`
    // Kite has slid 20 mm along the card. The paths, joined.
    std::string writeViews(int count, const std::vector<int>& shown, int moved = -1,
                           const std::string& folder = "") const {
        const std::vector<RigidPose> layout = bentCard();
        PrintedBody body;
        for (int m : shown) {
            PrintedMarker marker;
            EXPECT_EQ(readPatternImage(dir.file("Data/00" + std::to_string(m) + ".patt").c_str(), marker.pattern), 0);
            marker.widthMm = 80;
            marker.marginFraction = 0.2;
            poseToTransform(layout[static_cast<size_t>(m)], marker.transform);
            body.members.push_back(marker);
        }
        std::string paths;
        for (int i = 0; i < count; ++i) {
            const double a = 2 * M_PI * i / count;
            const double from[3] = {0.5 * std::cos(a), 0.5 * std::sin(a), 1.0}, target[3] = {110, 0, 0};
            poseToTransform(viewOfBody(camera, target, from, 700 + 150 * std::sin(3 * a), 20 * i, 320, 240), body.transform);
            PrintedBody seen = body;
            if (i == moved) seen.members.back().transform[0][3] += 20;
            RenderSettings settings;
            settings.noiseSigma = 1.0;
            settings.seed = static_cast<uint32_t>(i + 1);
            const std::string path = dir.file(folder + "view" + std::to_string(i) + ".png");
            EXPECT_TRUE(cv::imwrite(path, renderFrame(camera, placeBody(seen), settings)));
            paths += " " + path;
        }
        return paths;
    }

    TempDir dir;
    CameraParam camera;
};

} // namespace

TEST_F(BodyCommand, MeasureFindsTheTruthOrRefusesAndWritesNothing) {
    const std::string unmeasured = "[Member] Card Flag\n[Member] Card Fork\n[Member] Card Kite\n";
    struct Case {
        const char* name;
        std::string bodies;
        int views;
        std::vector<int> shown;
        std::string message;  // when measured: a line of its output
        bool measured = false;
        int moved = -1;
    } cases[] = {
        {"good views", unmeasured, 8, {0, 1, 2}, "Kite: seen in 8 views, RMS 0.", true},
        {"a member moved in one view", unmeasured, 8, {0, 1, 2}, "left out: Kite in " + dir.file("view5.png"), true, 5},
        {"too few views", unmeasured, 2, {0, 1, 2}, "2 views show two or more members together; at least 3 are needed"},
        {"an unlinked member", unmeasured + "[Member] Card Hook\n", 6, {0, 1, 2},
         "Hook is not seen together with Flag or a member linked to it in any view"},
        // Only the body's member lines are rewritten, each keeping its comment.
        {"comments and a line it cannot read", "# the bent card\n[Member] Card Flag  # origin\n\n"
         "[Member] Card Nope\n[Member] Card Fork\n[Member] Card Kite\n# end\n", 8, {0, 1, 2}, "Fork: seen in 8", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(dir.file("Data/body_list.txt"), c.bodies);
        std::filesystem::remove(dir.file("Data/body_list.txt.bak"));
        const CommandRun r = run("body measure Card" + writeViews(c.views, c.shown, c.moved));
        if (!c.measured) {
            EXPECT_NE(r.status, 0) << r.out;
            EXPECT_TRUE(contains(r.err, c.message)) << r.err;
            EXPECT_EQ(readFile(dir.file("Data/body_list.txt")), c.bodies);
            EXPECT_FALSE(std::filesystem::exists(dir.file("Data/body_list.txt.bak")));
            continue;
        }
        ASSERT_EQ(r.status, 0) << r.err << r.out;
        EXPECT_TRUE(contains(r.out, "8 of 8 views used")) << r.out;
        EXPECT_TRUE(contains(r.out, c.message)) << r.out;
        EXPECT_EQ(readFile(dir.file("Data/body_list.txt.bak")), c.bodies) << "the previous file kept";
        // A measured member's line gains its pose and keeps its comment;
        // every other line is as it was.
        std::istringstream before(c.bodies), after(readFile(dir.file("Data/body_list.txt")));
        for (std::string was, is; std::getline(before, was);) {
            ASSERT_TRUE(std::getline(after, is)) << "a line was lost";
            const size_t hash = was.find('#');
            const std::string comment = hash == std::string::npos ? "" : was.substr(hash);
            if (!contains(was, "[Member] Card ") || contains(was, "Nope")) {
                EXPECT_EQ(is, was);
                continue;
            }
            const std::string head = was.substr(0, was.find_first_of(" #", 14));
            EXPECT_EQ(is.rfind(head + " ", 0), 0u) << is;
            EXPECT_EQ(is.size() > comment.size() + 60 ? is.substr(is.size() - comment.size()) : "?", comment) << is;
        }
        BodyList list;
        ASSERT_TRUE(readBodyList(dir.file("Data/body_list.txt"), demoCatalogue(), list));
        ASSERT_EQ(list.bodies.size(), 1u);
        ASSERT_TRUE(list.bodies[0].tracked());
        const std::vector<RigidPose> truth = bentCard();
        for (size_t m = 0; m < truth.size(); ++m) {
            const RigidPose measured = memberPose(list.bodies[0].members[m]);
            double d = 0;
            for (int k = 0; k < 3; ++k) d += std::pow(measured.t[k] - truth[m].t[k], 2);
            EXPECT_LT(std::sqrt(d), 0.5) << "member " << m;
            EXPECT_LT(rotationBetween(measured.R, truth[m].R) * 180 / M_PI, 0.3) << "member " << m;
        }
    }
}

TEST_F(BodyCommand, LiveSourceKeepsViewsThatMovedUpToFrames) {
    writeFile(dir.file("Data/body_list.txt"), "[Member] Card Flag\n[Member] Card Fork\n[Member] Card Kite\n");
    std::filesystem::create_directories(dir.file("live"));
    writeViews(6, {0, 1, 2}, -1, "live/");
    const CommandRun r = run("body measure Card --frames 3 --camera file:" + dir.file("live"));
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_TRUE(contains(r.out, "view 3 of 3 kept: Flag, Fork, Kite")) << r.out;
    EXPECT_TRUE(contains(r.out, "3 of 3 views used")) << r.out;
    EXPECT_TRUE(contains(r.out, "Data/body_list.txt written")) << r.out;
}

TEST_F(BodyCommand, BoardPrintsPatternsThatDetectFindsAtTheLayoutWritten) {
    const CommandRun r = run("body board Desk --grid 3x2 --width 40 --gap 12 --pdf " + dir.file("desk.pdf"));
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    // One pixel is a millimetre at 25.4 dpi; at 254 dpi a tenth of one.
    ASSERT_EQ(std::system(("pdftoppm -r 254 -png -singlefile " + dir.file("desk.pdf") + " " + dir.file("page")).c_str()), 0);
    const cv::Mat page = cv::imread(dir.file("page.png"));
    ASSERT_FALSE(page.empty());
    // A lens without distortion, so that the vertices are the page's pixels.
    const CameraParam flat = makeCameraParam(page.cols, page.rows, page.cols, 0);
    ASSERT_EQ(saveCameraParam(dir.file("Data/camera_para.dat").c_str(), 1, &flat), 0);
    const CommandRun found = run("detect --max-area 1000000 --fields name,vertex " + dir.file("page.png"));
    ASSERT_EQ(found.status, 0) << found.err;
    std::map<std::string, cv::Point2d> centres;
    std::istringstream lines(found.out);
    for (std::string line; std::getline(lines, line);) {
        std::replace(line.begin(), line.end(), ',', ' ');
        std::istringstream words(line);
        std::string name;
        double v[8] = {};
        if (!(words >> name >> v[0] >> v[1] >> v[2] >> v[3] >> v[4] >> v[5] >> v[6] >> v[7])) continue;
        centres[name] = cv::Point2d(v[0] + v[2] + v[4] + v[6], v[1] + v[3] + v[5] + v[7]) / 4 / 10;  // mm
        EXPECT_NEAR(std::hypot(v[2] - v[0], v[3] - v[1]) / 10, 40, 0.3) << name;
    }
    BodyList list;
    Catalogue catalogue = demoCatalogue();
    for (int i = 1; i <= 6; ++i) catalogue.push_back({3 + i, "Desk_" + std::to_string(i), "", 40.0, true});
    ASSERT_TRUE(readBodyList(dir.file("Data/body_list.txt"), catalogue, list));
    ASSERT_EQ(list.bodies.size(), 1u);
    ASSERT_EQ(centres.size(), 6u) << found.out << found.err;
    const cv::Point2d origin = centres["Desk_1"];
    for (const BodyMember& m : list.bodies[0].members) {
        SCOPED_TRACE(m.pattern);
        // The page's y runs down, the body's Y up.
        EXPECT_NEAR(centres[m.pattern].x - origin.x, m.X, 0.3);
        EXPECT_NEAR(origin.y - centres[m.pattern].y, m.Y, 0.3);
        EXPECT_EQ(m.Z, 0.0);
        EXPECT_EQ(m.QW, 1.0);
    }
    const CommandRun again = run("body board Desk --grid 2x1 --width 40 --gap 12 --pdf " + dir.file("again.pdf"));
    EXPECT_NE(again.status, 0);
    EXPECT_TRUE(contains(again.err, "already has a body Desk")) << again.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("again.pdf")));
}

TEST_F(BodyCommand, ListShowsBodiesAsReadAndTheRefusals) {
    writeFile(dir.file("Data/body_list.txt"),
              "# two bodies\n"
              "[Member] Card Flag 0 0 0 1 0 0 0\n"
              "[Member] Card Fork\n"
              "[Member] Card Nope 1 2 3 1 0 0 0\n"
              "[Member] Tool Kite 0 0 0 2 0 0 0\n"
              "[Member] Tool Hook 5 0 0 1 0 0 0\n");
    const CommandRun r = run("body list");
    EXPECT_EQ(r.status, 1) << r.err;
    for (const char* line :
         {"Card: 2 members, not tracked until measured", "  Flag 80.0 mm at 0.000 0.000 0.000 mm, quaternion 1.000000",
          "  Fork 80.0 mm, not measured", "Tool: 1 member, tracked",
          "refused: Data/body_list.txt line 4: pattern \"Nope\" is not catalogued",
          "refused: Data/body_list.txt line 5: "})
        EXPECT_TRUE(contains(r.out, line)) << line << "\n" << r.out;
}
