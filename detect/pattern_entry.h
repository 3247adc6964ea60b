#pragma once
// One catalogued pattern; row i of the catalogue is detector pattern id i.
#include <string>
#include <vector>

struct PatternEntry {
    int index = 0;
    std::string name;
    std::string path;   // "Data/%03d.patt" of index
    double width = 0.0; // mm
    bool inUse = true;
};

using Catalogue = std::vector<PatternEntry>;
