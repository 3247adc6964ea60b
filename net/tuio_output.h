#pragma once
// TUIO 1.1 over UDP (OSC bundles through liblo), so table-top and
// installation software built on any TUIO client library sees Quillmark's
// markers as tangible objects. Each processed frame becomes one bundle of
// the /tuio/2Dobj profile and one of /tuio/3Dobj: source, alive, one set
// per marker, fseq. When the output ends (Stop), a last bundle per profile
// has an empty alive, so clients remove the markers; fseq goes on rising
// over every Stop and Start of the process, so clients never take the frames
// after a new Start for late ones.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>
#include "frame_queue.h"
#include "output_target.h"
#include "tracking_worker.h"

// One marker of one frame as both TUIO object profiles describe it.
struct TuioObject {
    int32_t sessionId = 0;
    int32_t classId = 0;         // the pattern's catalogue id
    // /tuio/2Dobj: centre normalised by the frame size (0..1, y down), angle
    // of the direction vector clockwise from "up" in radians (0..2π).
    float x = 0, y = 0, angle = 0;
    float xSpeed = 0, ySpeed = 0;  // normalised units per second
    float rotationSpeed = 0;       // turns per second
    float motionAccel = 0, rotationAccel = 0;  // per second
    // /tuio/3Dobj: position in camera axes (x right, y down, z forward)
    // mapped through the TuioVolume into 0..1, rotation as angles about x,
    // y, z in radians, 0..2π (R = Rz Ry Rx).
    float position[3] = {0, 0, 0};
    float rotation[3] = {0, 0, 0};
    float velocity[3] = {0, 0, 0};      // volume units per second
    float rotationVelocity[3] = {0, 0, 0};  // turns per second
    float motionAccel3 = 0, rotationAccel3 = 0;
};

// Gives each marker a session id that lasts while the marker stays in view:
// a marker of this frame continues the nearest marker of the previous frame
// with the same pattern; one that continues nothing is a new appearance and
// gets a new id. Velocities and accelerations come from the frames' capture
// times.
class TuioTracker {
public:
    explicit TuioTracker(TuioVolume volume = {}) : volume_(volume) {}
    std::vector<TuioObject> update(const PublishedFrame& frame);

private:
    TuioVolume volume_;
    struct Track {
        TuioObject object;
        double time = 0;
        float speed = 0, speed3 = 0, rotation3Speed = 0;
    };
    std::vector<Track> tracks_;
    int32_t nextSessionId_ = 1;
};

// The /tuio/2Dobj and /tuio/3Dobj angles of one result, as described above.
float tuioAngle(const MarkerResult& result);
void tuioRotation(const MarkerResult& result, float angles[3]);

class TuioOutput : public FrameOutput {
public:
    // `target` has been checked (parseTuioTarget); `source` names this
    // server in the source message, "quillmark@HOST" by default.
    explicit TuioOutput(const OutputTarget& target, std::string source = "", TuioVolume volume = {});
    ~TuioOutput() override;

    void publishFrame(const PublishedFrame& frame) override;
    uint64_t bundlesSent() const { return bundlesSent_; }
    uint64_t framesDropped() const { return queue_ ? queue_->dropped() : 0; }

private:
    void send(const std::vector<TuioObject>& objects, uint64_t frame);

    struct Address;
    std::unique_ptr<Address> address_;
    std::string source_;
    // fseq of this output's frame n is fseqBase_ + n: above every fseq the
    // process sent before this output began.
    const int64_t fseqBase_;
    int64_t lastFseq_ = 0;  // the queue thread's, then the destructor's
    TuioTracker tracker_;  // the queue thread's only
    std::atomic<uint64_t> bundlesSent_{0};
    std::unique_ptr<FrameQueue> queue_;  // last, so its thread ends first
};
