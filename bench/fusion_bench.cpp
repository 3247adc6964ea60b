// The fusion on rendered frames with truth: a 2x2 board filmed by two
// cameras 60 to 90 degrees apart, the fused body error against the better
// camera's own on the same frames; then the core's cost per fused frame
// for 2 and 8 nodes, each seeing the board (its four members also fused
// as markers).
#include <chrono>
#include <cstdio>
#include "bench_stats.h"
#include "body_scene.h"
#include "body_views.h"
#include "fusion.h"
#include "temp_dir.h"

namespace {

constexpr double kWidthMm = 50.0;
constexpr double kPi = 3.14159265358979323846;

RigidPose cameraAround(const CameraParam& camera, const RigidPose& bodyToWorld, double angleDeg, double distanceMm,
                       RigidPose& bodyToCamera) {
    const double a = angleDeg * kPi / 180, target[3] = {0, 0, 0}, from[3] = {std::sin(a), 0.15, std::cos(a)};
    bodyToCamera = viewOfBody(camera, target, from, distanceMm, 15, 330, 250);
    return composePoses(bodyToWorld, inversePose(bodyToCamera));
}

NodeFrame nodeFrameOf(const std::string& node, double time, const RigidPose& cameraToWorld, const ResultTable& markers) {
    NodeFrame f{node, 1, time, 640, 480, NodeWorldPose{}, {}};
    std::copy(cameraToWorld.t, cameraToWorld.t + 3, f.camera->position);
    quaternionOf(cameraToWorld.R, f.camera->quaternion);
    for (const MarkerResult& r : markers) {
        NodeMarker m{r.name, r.patternId, r.cf, {}};
        std::copy(&r.vertex[0][0], &r.vertex[0][0] + 8, &m.corner[0][0]);
        f.markers.push_back(m);
    }
    return f;
}

void accuracy(BodyScene& scene) {
    std::vector<double> fused, better, ratios;
    for (int i = 0; i < 40; ++i) {
        const double apart = 60 + 30 * (i % 4) / 3.0, distance = 900 + 25 * i;
        const RigidPose truth = poseFromQuaternion(1, 0.05 * (i % 5), -0.04 * (i % 3), 0.3, 20 * i, 0, 1000);
        std::vector<WorldView> views(2);
        std::vector<ViewSighting> sightings;
        double alone = 1e9;
        for (size_t c = 0; c < 2; ++c) {
            RigidPose toCamera;
            views[c].node = c ? "b" : "a";
            views[c].cameraToWorld = cameraAround(scene.camera, truth, (c ? 0.5 : -0.5) * apart, distance, toCamera);
            std::copy(&scene.camera.projection[0][0], &scene.camera.projection[0][0] + 12, &views[c].projection[0][0]);
            RenderSettings settings;
            settings.noiseSigma = 3;
            settings.seed = static_cast<uint32_t>(2 * i + c + 1);
            ResultTable markers;
            scene.render({toCamera}, settings, markers);
            const BodyTable own = fitBodies(scene.bodies, markers, scene.camera);
            if (!own.empty()) alone = std::min(alone, positionError(composePoses(views[c].cameraToWorld, own[0].pose), truth));
            for (const MarkerResult& r : markers) {
                ViewSighting s;
                s.view = c, s.member = static_cast<size_t>(r.patternId);
                std::copy(&r.vertex[0][0], &r.vertex[0][0] + 8, &s.corner[0][0]);
                if (s.member < 4) sightings.push_back(s);
            }
        }
        WorldFit fit;
        if (!fitWorldBody(scene.bodies[0], views, sightings, fit) || alone > 1e8) {
            std::printf("frame %d: no fused or no single pose\n", i);
            continue;
        }
        fused.push_back(positionError(fit.pose, truth));
        better.push_back(alone);
    }
    std::printf("body error (mm, median over %zu frames): fused %.3f, better camera alone %.3f, ratio %.2f (goal <= 0.7)\n",
                fused.size(), median(fused), median(better), median(fused) / median(better));
}

void cost(BodyScene& scene, int nodes) {
    const RigidPose truth = poseFromQuaternion(1, 0.1, -0.1, 0.3, 0, 0, 1000);
    std::vector<NodeFrame> frames;
    std::vector<NodeCamera> cameras;
    for (int n = 0; n < nodes; ++n) {
        RigidPose toCamera;
        const RigidPose toWorld = cameraAround(scene.camera, truth, -40 + 80.0 * n / std::max(1, nodes - 1), 1000, toCamera);
        ResultTable markers;
        scene.render({toCamera}, RenderSettings{}, markers);
        frames.push_back(nodeFrameOf("n" + std::to_string(n), 0, toWorld, markers));
        NodeCamera c{frames.back().node, 640, 480, {}};
        std::copy(&scene.camera.projection[0][0], &scene.camera.projection[0][0] + 12, &c.projection[0][0]);
        cameras.push_back(c);
    }
    Fusion fusion(FusionOptions{}, scene.catalogue, {scene.bodies[0]}, nullptr);
    for (const NodeCamera& c : cameras) fusion.takeCamera(c, 0);
    const int count = 300;
    size_t fusedFrames = 0, bodies = 0, markers = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        const double now = i / 30.0;
        for (NodeFrame f : frames) f.time = 1000 + now, fusion.takeFrame(std::move(f), now);
        for (const FusedFrame& out : fusion.poll(now)) ++fusedFrames, bodies += out.bodies.size(), markers += out.markers.size();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double perFrameMs = 1000 * seconds / count;
    std::printf("%d nodes: %.3f ms a fused frame (%.3f ms a node), %.3f of a core at 30 frames/s; %zu fused, %zu bodies, "
                "%zu markers\n",
                nodes, perFrameMs, perFrameMs / nodes, perFrameMs * 30 / 1000, fusedFrames, bodies, markers);
    if (fusedFrames + 1 < static_cast<size_t>(count) || bodies != fusedFrames) std::printf("  CHECK FAILED: frames missing\n");
}

} // namespace

int main() {
    TempDir dir;
    BodyScene scene(defaultCameraParam(), 6, kWidthMm, dir.path());
    scene.addBody("board", boardLayout(2, 2, kWidthMm, kWidthMm / 2), 0);
    detectorState().options.cornerRefine = true;
    accuracy(scene);
    cost(scene, 2);
    cost(scene, 8);
    return 0;
}
