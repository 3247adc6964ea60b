#include "server_state.h"
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

void publishResults(ResultTable table) {
    std::lock_guard<std::mutex> hold(ResultTableLock);
    LatestResults = std::move(table);
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
