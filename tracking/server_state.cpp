#include "server_state.h"
#include <chrono>
#include <utility>

std::mutex ResultTableLock;
ResultTable LatestResults;
FrameStamp LatestStamp;
std::atomic<bool> AutomaticModeFlag{true};

namespace {
std::mutex ActiveDataFormatLock;
DataFormat ActiveDataFormat;
std::mutex ServerActiveLock;
bool ServerActive = false;
}  // namespace

double wallClockSeconds() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

void publishResults(ResultTable table, FrameStamp stamp) {
    std::lock_guard<std::mutex> hold(ResultTableLock);
    LatestResults = std::move(table);
    LatestStamp = stamp;
}

void publishResults(ResultTable table) {
    const double now = wallClockSeconds();
    std::lock_guard<std::mutex> hold(ResultTableLock);
    LatestResults = std::move(table);
    LatestStamp = FrameStamp{LatestStamp.frame + 1, now};
}

DataFormat activeDataFormat() {
    std::lock_guard<std::mutex> hold(ActiveDataFormatLock);
    return ActiveDataFormat;
}

void setActiveDataFormat(DataFormat format) {
    std::lock_guard<std::mutex> hold(ActiveDataFormatLock);
    ActiveDataFormat = format;
}

bool serverActive() {
    std::lock_guard<std::mutex> hold(ServerActiveLock);
    return ServerActive;
}

void setServerActive(bool active) {
    std::lock_guard<std::mutex> hold(ServerActiveLock);
    ServerActive = active;
}
