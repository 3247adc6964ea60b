#include "marker_history.h"
#include <algorithm>

namespace {

// An entry not seen for this many frames is forgotten.
constexpr int kHistoryAgeLimit = 4;

// A history entry and a current marker are the same square when their areas
// agree within 0.7..1.43 and the centroids lie close relative to the size.
// Returns the index of the closest such marker, or -1.
int matchRemembered(const MarkerInfo& remembered, const MarkerInfo* markers, int count) {
    int found = -1;
    double best = 10.0;
    for (int m = 0; m < count; ++m) {
        const double ratio = static_cast<double>(remembered.area) / markers[m].area;
        if (ratio < 0.7 || ratio > 1.43) continue;
        const double dx = markers[m].pos[0] - remembered.pos[0];
        const double dy = markers[m].pos[1] - remembered.pos[1];
        const double q = (dx * dx + dy * dy) / markers[m].area;
        if (q < 0.5 && q < best) {
            best = q;
            found = m;
        }
    }
    return found;
}

// The remembered marker's direction carried over to the current one through
// the vertex shift that lines their corners up best.
int carriedDirection(const MarkerInfo& current, const MarkerInfo& remembered) {
    double bestSum = 100000000.0;
    int bestShift = -1;
    for (int j = 0; j < 4; ++j) {
        double sum = 0.0;
        for (int k = 0; k < 4; ++k) {
            const double dx = current.vertex[(j + k) % 4][0] - remembered.vertex[k][0];
            const double dy = current.vertex[(j + k) % 4][1] - remembered.vertex[k][1];
            sum += dx * dx + dy * dy;
        }
        if (sum < bestSum) {
            bestSum = sum;
            bestShift = j;
        }
    }
    return bestShift < 0 ? -1 : (remembered.dir - bestShift + 4) % 4;
}

void ageHistory(MarkerHistory& history) {
    int kept = 0;
    for (int h = 0; h < history.count; ++h) {
        if (++history.entry[h].age >= kHistoryAgeLimit) continue;
        history.entry[kept++] = history.entry[h];
    }
    history.count = kept;
}

// Identified markers refresh their entry (the first with the same id) or get
// a new one. A full history gives up its least recently seen entry, so a
// marker of this frame is never forgotten for lack of room.
void recordIdentified(MarkerHistory& history, const MarkerInfo* markers, int count) {
    for (int m = 0; m < count; ++m) {
        if (markers[m].id < 0) continue;
        int h = 0;
        while (h < history.count && history.entry[h].marker.id != markers[m].id) ++h;
        if (h == history.count && history.count == kMaxHistory) {
            int oldest = 0;
            for (int i = 1; i < history.count; ++i)
                if (history.entry[i].age > history.entry[oldest].age) oldest = i;
            std::copy(history.entry + oldest + 1, history.entry + history.count, history.entry + oldest);
            h = --history.count;
        }
        if (h == history.count) ++history.count;
        history.entry[h].marker = markers[m];
        history.entry[h].age = 1;
    }
}

// Remembered markers not seen in this frame are listed after the current
// ones. The list has room for every history entry beyond the current markers.
int appendLost(const MarkerHistory& history, MarkerInfo* markers, int count, int capacity) {
    int total = count;
    for (int h = 0; h < history.count && total < capacity; ++h) {
        if (matchRemembered(history.entry[h].marker, markers, count) < 0)
            markers[total++] = history.entry[h].marker;
    }
    return total;
}

} // namespace

void carryIdentities(const MarkerHistory& history, MarkerInfo* markers, int count) {
    for (int h = 0; h < history.count; ++h) {
        const MarkerInfo& remembered = history.entry[h].marker;
        const int m = matchRemembered(remembered, markers, count);
        if (m < 0 || !(remembered.cf > markers[m].cf)) continue;
        markers[m].cf = remembered.cf;
        markers[m].id = remembered.id;
        markers[m].dir = carriedDirection(markers[m], remembered);
    }
}

int rememberMarkers(MarkerHistory& history, MarkerInfo* markers, int count, int capacity) {
    ageHistory(history);
    recordIdentified(history, markers, count);
    return appendLost(history, markers, count, capacity);
}
