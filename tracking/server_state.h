#pragma once
// Values shared by the dialog, the tracking worker and every client
// connection. ServerActive and the table have locks of their own, which are
// never held together.
#include <atomic>
#include <cstdint>
#include <mutex>
#include "marker_result.h"
#include "report.h"

// Guards LatestResults. The tracking worker holds it from emptying the table
// to the end of evaluateMarkers, so a reader never sees half a frame.
extern std::mutex ResultTableLock;
// The markers of the latest processed frame; touch only under ResultTableLock.
extern ResultTable LatestResults;

// When the frame behind LatestResults was taken: `frame` counts the frames
// since Start from 1 (0 before the first), `captureTime` is the wall clock
// in seconds since 1970 when its grab returned. Written with the table,
// under ResultTableLock.
struct FrameStamp {
    uint64_t frame = 0;
    double captureTime = 0.0;
};
extern FrameStamp LatestStamp;

// Replaces the whole table at once under its lock (replay drivers, tests).
void publishResults(ResultTable table);

// Mode for connections that begin from now on: true pushes the report on
// every pass, false waits for commands. Each connection reads it once.
extern std::atomic<bool> AutomaticModeFlag;

// ActiveDataFormat: the field selection a connection copies when it begins.
DataFormat activeDataFormat();
void setActiveDataFormat(DataFormat format);

// ServerActive, read and written under ServerActiveLock: connections end at
// their next pass once it is false.
bool serverActive();
void setServerActive(bool active);
