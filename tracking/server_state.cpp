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

namespace {

template <typename T>
T lockedRead(std::mutex& lock, const T& value) {
    std::lock_guard<std::mutex> hold(lock);
    return value;
}

template <typename T>
void lockedWrite(std::mutex& lock, T& value, T next) {
    std::lock_guard<std::mutex> hold(lock);
    value = next;
}

} // namespace

DataFormat activeDataFormat() { return lockedRead(ActiveDataFormatLock, ActiveDataFormat); }
void setActiveDataFormat(DataFormat format) { lockedWrite(ActiveDataFormatLock, ActiveDataFormat, format); }
bool serverActive() { return lockedRead(ServerActiveLock, ServerActive); }
void setServerActive(bool active) { lockedWrite(ServerActiveLock, ServerActive, active); }
