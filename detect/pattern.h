#pragma once
// Pattern templates: the 50-slot table, loading a pattern file into it
// (the file itself is pattern_file.h), sampling a quadrilateral's interior
// into a 16 x 16 colour code and matching it.
#include <cstdint>

constexpr int kPatternSide = 16;
constexpr int kPatternPlanes = 3;
constexpr int kPatternValues = kPatternSide * kPatternSide * kPatternPlanes; // 768
constexpr int kPatternRotations = 4;
constexpr int kPatternSlots = 50;

// Element (row, column, plane) at (row * 16 + column) * 3 + plane; plane k is
// byte k of the frame's pixel (blue, green, red).
struct PatternCode {
    uint8_t value[kPatternValues];
};

enum PatternSlotState : int32_t { Free = 0, Active = 1, Inactive = 2 };

struct PatternTemplate {
    PatternSlotState state = Free;
    // Inverted, mean removed: within -255..255, so 16 bits hold it and the
    // matcher's products pair up in SIMD multiply-adds.
    int16_t code[kPatternRotations][kPatternValues] = {};
    double norm[kPatternRotations] = {};
};

struct PatternTable {
    PatternTemplate slot[kPatternSlots];
    int32_t count = 0; // slots that are not Free
};

int loadPatternFile(const char* path);
int freePattern(int id);
int activatePattern(int id);
int deactivatePattern(int id);

int identifyPattern(const uint8_t* frame, const int* xCoord, const int* yCoord, const int vertex[4],
                    int* id, int* dir, double* cf);
int samplePatternCode(const uint8_t* frame, const int* xCoord, const int* yCoord, const int vertex[4],
                      PatternCode* code);
// The same code and match through sub-pixel corners: `vertex` in ideal
// pixels (a marker's fitted vertices), sampled with bilinear interpolation.
// For markers too small for whole-pixel corners; the detector's opt-in.
int identifyPatternAt(const uint8_t* frame, const double vertex[4][2], int* id, int* dir, double* cf);
// `quad` in observed pixels, pixel i centred on i.
int samplePatternCodeAt(const uint8_t* frame, const double quad[4][2], PatternCode* code);
void solveProjectiveParams(const double reference[4][2], const double image[4][2], double P[3][3]);
int matchPatternCode(const PatternCode& code, int* id, int* dir, double* cf);
// The same, also giving the best score of any pattern but the matched one.
int matchPatternCodeRanked(const PatternCode& code, int* id, int* dir, double* cf, double* runnerUp);
