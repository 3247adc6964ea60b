#include "tuio_output.h"
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <lo/lo.h>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kTwoPi = 2 * kPi;
// Frames queued for the sender: a receiver never sees a stale frame before
// a fresh one for longer than this.
constexpr std::size_t kQueueFrames = 4;
// Used when two frames carry the same capture time (a replayed source).
constexpr double kFallbackFrameSeconds = 1.0 / 30.0;

// The highest fseq any TUIO output of this process has sent.
std::atomic<int64_t> HighestFseq{0};

void noteFseq(int64_t fseq) {
    int64_t seen = HighestFseq.load();
    while (seen < fseq && !HighestFseq.compare_exchange_weak(seen, fseq)) {
    }
}

// An angle brought into [0, 2π), the range TUIO gives angles in.
float fullTurn(double radians) {
    double angle = std::fmod(radians, kTwoPi) + 0.0;  // no -0 on the wire
    if (angle < 0) angle += kTwoPi;
    const float rounded = static_cast<float>(angle);
    return rounded >= static_cast<float>(kTwoPi) ? 0.0f : rounded;
}

float intoUnit(double value, double low, double high) {
    return static_cast<float>(std::clamp((value - low) / (high - low), 0.0, 1.0));
}

// An angle difference brought into (-π, π], so a turn across 0 is small.
double wrapped(double radians) {
    while (radians > kPi) radians -= kTwoPi;
    while (radians <= -kPi) radians += kTwoPi;
    return radians;
}

double distanceSquared(const TuioObject& a, const TuioObject& b) {
    return (a.x - b.x) * (a.x - b.x) + (a.y - b.y) * (a.y - b.y);
}

TuioObject objectOf(const MarkerResult& result, int width, int height, const TuioVolume& volume) {
    TuioObject object;
    object.classId = result.patternId;
    object.x = static_cast<float>(width > 0 ? result.px / width : 0.0);
    object.y = static_cast<float>(height > 0 ? result.py / height : 0.0);
    object.angle = tuioAngle(result);
    object.position[0] = intoUnit(result.X, -volume.width / 2, volume.width / 2);
    object.position[1] = intoUnit(result.Y, -volume.height / 2, volume.height / 2);
    object.position[2] = intoUnit(result.Z, volume.nearest, volume.farthest);
    tuioRotation(result, object.rotation);
    return object;
}

// Fills the motion of `object` from the same marker one frame earlier.
void followOn(TuioObject& object, const TuioObject& before, double seconds, float& speed, float& speed3,
              float& rotation3Speed) {
    const float dt = static_cast<float>(seconds);
    object.sessionId = before.sessionId;
    object.xSpeed = (object.x - before.x) / dt;
    object.ySpeed = (object.y - before.y) / dt;
    object.rotationSpeed = static_cast<float>(wrapped(object.angle - before.angle) / kTwoPi) / dt;
    const float newSpeed = std::hypot(object.xSpeed, object.ySpeed);
    object.motionAccel = (newSpeed - speed) / dt;
    object.rotationAccel = (object.rotationSpeed - before.rotationSpeed) / dt;
    float squared3 = 0, turns3 = 0;
    for (int k = 0; k < 3; ++k) {
        object.velocity[k] = (object.position[k] - before.position[k]) / dt;
        object.rotationVelocity[k] = static_cast<float>(wrapped(object.rotation[k] - before.rotation[k]) / kTwoPi) / dt;
        squared3 += object.velocity[k] * object.velocity[k];
        turns3 += object.rotationVelocity[k] * object.rotationVelocity[k];
    }
    object.motionAccel3 = (std::sqrt(squared3) - speed3) / dt;
    object.rotationAccel3 = (std::sqrt(turns3) - rotation3Speed) / dt;
    speed = newSpeed;
    speed3 = std::sqrt(squared3);
    rotation3Speed = std::sqrt(turns3);
}

std::string defaultSource() {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    return std::string("quillmark@") + (host[0] ? host : "localhost");
}

void addFloats(lo_message message, const float* values, int count) {
    for (int k = 0; k < count; ++k) lo_message_add_float(message, values[k]);
}

lo_message setMessage2D(const TuioObject& o) {
    lo_message m = lo_message_new();
    lo_message_add_string(m, "set");
    lo_message_add_int32(m, o.sessionId);
    lo_message_add_int32(m, o.classId);
    const float values[] = {o.x, o.y, o.angle, o.xSpeed, o.ySpeed, o.rotationSpeed, o.motionAccel, o.rotationAccel};
    addFloats(m, values, 8);
    return m;
}

lo_message setMessage3D(const TuioObject& o) {
    lo_message m = lo_message_new();
    lo_message_add_string(m, "set");
    lo_message_add_int32(m, o.sessionId);
    lo_message_add_int32(m, o.classId);
    addFloats(m, o.position, 3);
    addFloats(m, o.rotation, 3);
    addFloats(m, o.velocity, 3);
    addFloats(m, o.rotationVelocity, 3);
    const float accelerations[] = {o.motionAccel3, o.rotationAccel3};
    addFloats(m, accelerations, 2);
    return m;
}

// One bundle of `profile`: source, alive with every session, the sets, fseq.
lo_bundle bundleOf(const char* profile, const std::string& sourceName, const std::vector<TuioObject>& objects,
                   int64_t frame) {
    const bool flat = profile[6] == '2';
    lo_bundle bundle = lo_bundle_new(LO_TT_IMMEDIATE);
    lo_message source = lo_message_new();
    lo_message_add_string(source, "source");
    lo_message_add_string(source, sourceName.c_str());
    lo_bundle_add_message(bundle, profile, source);
    lo_message alive = lo_message_new();
    lo_message_add_string(alive, "alive");
    for (const TuioObject& object : objects) lo_message_add_int32(alive, object.sessionId);
    lo_bundle_add_message(bundle, profile, alive);
    for (const TuioObject& object : objects)
        lo_bundle_add_message(bundle, profile, flat ? setMessage2D(object) : setMessage3D(object));
    lo_message fseq = lo_message_new();
    lo_message_add_string(fseq, "fseq");
    // TUIO's frame id is a 32-bit int; it wraps after 2 years at 30 Hz.
    lo_message_add_int32(fseq, static_cast<int32_t>(frame & 0x7fffffff));
    lo_bundle_add_message(bundle, profile, fseq);
    return bundle;
}

} // namespace

float tuioAngle(const MarkerResult& result) {
    // Measured clockwise on the image (y down) from "up": an upright
    // marker, whose direction vector is (0, -1), has the angle 0.
    double angle = std::atan2(result.dx, -result.dy);
    if (angle < 0) angle += kTwoPi;
    return static_cast<float>(angle);
}

void tuioRotation(const MarkerResult& result, float angles[3]) {
    // R[row][column] is glMatrix[column * 4 + row]; R = Rz(c) Ry(b) Rx(a).
    auto r = [&result](int row, int column) { return result.glMatrix[column * 4 + row]; };
    angles[0] = fullTurn(std::atan2(r(2, 1), r(2, 2)));
    angles[1] = fullTurn(std::atan2(-r(2, 0), std::hypot(r(0, 0), r(1, 0))));
    angles[2] = fullTurn(std::atan2(r(1, 0), r(0, 0)));
}

std::vector<TuioObject> TuioTracker::update(const PublishedFrame& frame) {
    const std::size_t count = frame.results.size();
    std::vector<TuioObject> objects;
    for (const MarkerResult& result : frame.results) objects.push_back(objectOf(result, frame.width, frame.height, volume_));

    // Nearest pairs first, each marker of either frame used once.
    struct Pair {
        double distance;
        std::size_t now, before;
    };
    std::vector<Pair> pairs;
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t j = 0; j < tracks_.size(); ++j) {
            if (tracks_[j].object.classId == objects[i].classId)
                pairs.push_back({distanceSquared(objects[i], tracks_[j].object), i, j});
        }
    }
    std::sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) { return a.distance < b.distance; });
    std::vector<Track> next(count);
    std::vector<bool> nowTaken(count, false), beforeTaken(tracks_.size(), false);
    for (const Pair& pair : pairs) {
        if (nowTaken[pair.now] || beforeTaken[pair.before]) continue;
        nowTaken[pair.now] = beforeTaken[pair.before] = true;
        Track& track = next[pair.now];
        const Track& old = tracks_[pair.before];
        double seconds = frame.stamp.captureTime - old.time;
        if (!(seconds > 0)) seconds = kFallbackFrameSeconds;
        track.speed = old.speed;
        track.speed3 = old.speed3;
        track.rotation3Speed = old.rotation3Speed;
        followOn(objects[pair.now], old.object, seconds, track.speed, track.speed3, track.rotation3Speed);
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (!nowTaken[i]) objects[i].sessionId = nextSessionId_++;
        next[i].object = objects[i];
        next[i].time = frame.stamp.captureTime;
    }
    tracks_ = std::move(next);
    return objects;
}

struct TuioOutput::Address {
    lo_address address = nullptr;
    ~Address() {
        if (address) lo_address_free(address);
    }
};

TuioOutput::TuioOutput(const OutputTarget& target, std::string source, TuioVolume volume)
    : address_(std::make_unique<Address>()),
      source_(source.empty() ? defaultSource() : std::move(source)),
      fseqBase_(HighestFseq.load()),
      tracker_(volume) {
    address_->address = lo_address_new(target.host.c_str(), std::to_string(target.port).c_str());
    queue_ = std::make_unique<FrameQueue>(kQueueFrames, [this](const PublishedFrame& frame) {
        send(tracker_.update(frame), frame.stamp.frame);
    });
}

TuioOutput::~TuioOutput() {
    queue_->stop();
    // The last word: nothing alive, so clients remove every marker now
    // rather than keep the last frame's forever.
    send({}, static_cast<uint64_t>(std::max<int64_t>(lastFseq_ - fseqBase_, 0)) + 1);
}

void TuioOutput::publishFrame(const PublishedFrame& frame) { queue_->push(frame); }

void TuioOutput::send(const std::vector<TuioObject>& objects, uint64_t frame) {
    lastFseq_ = fseqBase_ + static_cast<int64_t>(frame);
    noteFseq(lastFseq_);
    for (const char* profile : {"/tuio/2Dobj", "/tuio/3Dobj"}) {
        lo_bundle bundle = bundleOf(profile, source_, objects, lastFseq_);
        // UDP: a receiver that is not listening costs one sendto; nothing waits.
        if (lo_send_bundle(address_->address, bundle) >= 0) ++bundlesSent_;
        lo_bundle_free_recursive(bundle);
    }
}
