#pragma once
// The statistics the benchmarks print, written once: on a shared machine a
// median or a rank ignores the runs another process interrupted. Both are
// NaN for no values.
#include <algorithm>
#include <cmath>
#include <vector>

// The middle value (the upper of the two middle ones for an even count).
inline double median(std::vector<double> values) {
    if (values.empty()) return NAN;
    std::nth_element(values.begin(), values.begin() + static_cast<long>(values.size() / 2), values.end());
    return values[values.size() / 2];
}

// The value at rank p * (count - 1) of the sorted values, p in 0..1.
inline double percentile(std::vector<double> values, double p) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(std::clamp(p, 0.0, 1.0) * static_cast<double>(values.size() - 1))];
}
