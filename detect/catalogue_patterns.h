#pragma once
// Loading the catalogued patterns into the detector so that catalogue entry
// i is detector pattern id i.
#include <string>
#include "pattern_entry.h"
#include "pattern_file.h"

// Loads entry j into detector slot j for every entry that fits the table;
// returns the number of entries. Entries that cannot be loaded, and those
// beyond the table, are reported on standard output and never recognised.
int LoadCataloguePatterns(const Catalogue& catalogue);
