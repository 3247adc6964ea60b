#pragma once
// The pattern file and the numbered files of a catalogue row. A pattern file
// is text: four rotations, each three planes (blue, green, red) of 16 lines
// of 16 values written "%4d", a blank line after each rotation (196 lines).
// Reading is word by word, so any white space will do.
#include <string>
#include "pattern.h"

enum class PatternFileRead { Read, CannotOpen, BadData };

// The four rotations stored at `path`. BadData when the file runs out before
// 3,072 values, or holds a non-number or a value that is not a byte; what
// follows the last value is ignored. `codes` is written only on Read.
PatternFileRead readPatternFile(const char* path, PatternCode codes[kPatternRotations]);
// 0, or -1 when the file cannot be created or written whole (nothing is
// left at `path` then).
int writePatternCodes(const char* path, const PatternCode codes[kPatternRotations]);

// "NNN" followed by `extension`: the row number zero-padded to at least
// three digits (7 gives "007.jpg", 1234 gives "1234.jpg").
std::string numberedFileName(int index, const char* extension);
std::string patternFilePath(int index);   // "Data/NNN.patt"
std::string thumbnailFilePath(int index); // "Data/NNN.jpg"
// The row number of a numbered file name ("042.patt" with ".patt" gives
// 42), or -1 when `fileName` is not one.
int numberedFileIndex(const std::string& fileName, const char* extension);
