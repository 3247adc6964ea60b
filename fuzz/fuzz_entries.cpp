#include "fuzz_entries.h"

const FuzzEntry* findFuzzEntry(const std::string& name) {
    for (const FuzzEntry& entry : FuzzEntries) {
        if (name == entry.name) return &entry;
    }
    return nullptr;
}
