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

// When the frame behind LatestResults was taken (FrameStamp in report.h).
// Written with the table, under ResultTableLock.
extern FrameStamp LatestStamp;

// Seconds since 1970 on the wall clock, microseconds and all.
double wallClockSeconds();

// Replaces the whole table and its stamp at once under the lock (replay
// drivers, tests). Without a stamp the table counts as the next frame,
// taken now.
void publishResults(ResultTable table, FrameStamp stamp);
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
