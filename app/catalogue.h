#pragma once
// The pattern catalogue: its file "Data/pattern_list.txt", the rows the
// operator edits, and loading the catalogued patterns into the detector so
// that entry i is detector pattern id i.
#include <string>
#include <vector>
#include "catalogue_patterns.h"
#include "pattern_entry.h"

// One row of the operator's pattern list, as the list shows it.
struct PatternRow {
    std::string name;
    std::string widthText; // "%.1lf" of the width
    bool checked = true;   // in use
};

std::string formatWidthText(double widthMm);

// A name must come back as one word from the white-space separated file,
// and a client that splits a report line at its commas must find it whole.
// Null when `name` can be stored, otherwise why it cannot.
const char* patternNameProblem(const std::string& name);
// Why a name that pattern `otherIndex` already carries deserves a warning.
std::string sharedNameWarning(const std::string& name, int otherIndex);

// Empties `catalogue` and reads the file into it. 0, or -1 (with a message on
// standard output, `catalogue` untouched) when the file cannot be opened.
// An entry whose name holds a comma, or whose file column names another
// number than its row, is loaded all the same (with the files of its row);
// a message naming its line goes to standard output and, when given, to
// `problems`.
int LoadPatternList(Catalogue& catalogue, std::vector<std::string>* problems = nullptr);
// 0, or -1 when the file cannot be created or written, with the reason in
// `error` when given. Written beside the old file and renamed over it, so a
// failed save leaves the old file whole.
int SavePatternList(const Catalogue& catalogue, std::string* error = nullptr);
// The number of entries the file holds, read or not: fewer read than stored
// means that writing the catalogue back would lose the rest.
int storedPatternCount();
// Where a catalogue that could not be read whole is kept before it is
// written again.
constexpr const char* kUnreadPatternListPath = "Data/pattern_list.unread.txt";
// Empties `catalogue` and builds one entry per row, index = row.
void CatalogueFromList(const std::vector<PatternRow>& rows, Catalogue& catalogue);
PatternRow rowFromEntry(const PatternEntry& entry);

