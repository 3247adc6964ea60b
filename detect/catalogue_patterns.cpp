#include "catalogue_patterns.h"
#include <algorithm>
#include <cstdio>
#include "detector_state.h"
#include "pattern.h"

namespace {

// A slot that keeps its id but can never win a match: all-zero codes score 0,
// and a match needs a score strictly above 0, even if the slot is activated.
void holdEmptySlot(int id) {
    PatternTable& table = detectorState().patterns;
    PatternTemplate& slot = table.slot[id];
    slot = PatternTemplate{};
    for (double& norm : slot.norm) norm = 1e-7;
    slot.state = Inactive;
    ++table.count;
}

} // namespace

int LoadCataloguePatterns(const Catalogue& catalogue) {
    // Entry j must land in slot j, which holds only when loading starts from
    // an empty table.
    for (int id = 0; id < kPatternSlots; ++id) {
        if (detectorState().patterns.slot[id].state != Free) freePattern(id);
    }
    const int loadable = static_cast<int>(std::min<size_t>(catalogue.size(), kPatternSlots));
    for (int j = 0; j < loadable; ++j) {
        const std::string path = patternFilePath(j);
        if (loadPatternFile(path.c_str()) != j) {
            std::printf("Pattern %d (%s) is not recognised: %s did not load.\n", j,
                        catalogue[j].name.c_str(), path.c_str());
            holdEmptySlot(j);
            continue;
        }
        if (!catalogue[j].inUse) deactivatePattern(j);
    }
    if (static_cast<int>(catalogue.size()) > kPatternSlots) {
        std::printf("%zu patterns are catalogued but only %d fit the detector: patterns %d to %zu are not recognised.\n",
                    catalogue.size(), kPatternSlots, kPatternSlots, catalogue.size() - 1);
    }
    return static_cast<int>(catalogue.size());
}
