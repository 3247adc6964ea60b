#pragma once
// The marker history of the capture window's detection: identities carried
// across frames, and markers lost in the last two frames kept in the list.
#include <cstdint>
#include "squares.h"

constexpr int kMaxCurrentMarkers = 30;
constexpr int kMaxHistory = 30;
// Room for the current markers plus every remembered one that history adds.
constexpr int kMaxMarkers = kMaxCurrentMarkers + kMaxHistory;

struct MarkerHistoryEntry {
    MarkerInfo marker;
    int32_t age; // 1 when seen in the latest frame
};

struct MarkerHistory {
    MarkerHistoryEntry entry[kMaxHistory];
    int32_t count = 0;
};

// A current marker that a remembered one matched with more confidence takes
// the remembered identity, its direction following the vertex alignment.
void carryIdentities(const MarkerHistory& history, MarkerInfo* markers, int count);
// Ages the history, records this frame's identified markers, and appends
// the remembered markers not seen in this frame after the `count` current
// ones, as far as `capacity` allows. The length of the list.
int rememberMarkers(MarkerHistory& history, MarkerInfo* markers, int count, int capacity);
