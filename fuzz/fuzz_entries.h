#pragma once
// Entry points that feed arbitrary bytes through one reader of outside input
// each: the command dialogue, the configuration, catalogue, pattern and
// camera files, the detector, calibration files to import, and the messages
// camera nodes send a fusion. The libFuzzer targets call them, and so do
// the regression tests that replay the inputs the fuzzers once broke on.
//
// Each returns "" when everything that must hold for any input held, or a
// description of what did not. The file readers use Data/ under the current
// working directory, as the program does.
#include <cstddef>
#include <cstdint>
#include <string>

using FuzzCheck = std::string (*)(const uint8_t* data, size_t size);

struct FuzzEntry {
    const char* name;
    FuzzCheck check;
};

std::string fuzzCommandDialogue(const uint8_t* data, size_t size);
std::string fuzzConfigFile(const uint8_t* data, size_t size);
std::string fuzzCatalogueFile(const uint8_t* data, size_t size);
std::string fuzzPatternFile(const uint8_t* data, size_t size);
std::string fuzzCameraFile(const uint8_t* data, size_t size);
std::string fuzzDetector(const uint8_t* data, size_t size);
std::string fuzzCalibrationFile(const uint8_t* data, size_t size);
std::string fuzzNodeMessage(const uint8_t* data, size_t size);

// Every entry, by the name its fuzz target, corpus and kept inputs go by.
constexpr FuzzEntry FuzzEntries[] = {
    {"command_dialogue", fuzzCommandDialogue},
    {"config_file", fuzzConfigFile},
    {"catalogue_file", fuzzCatalogueFile},
    {"pattern_file", fuzzPatternFile},
    {"camera_file", fuzzCameraFile},
    {"detector", fuzzDetector},
    {"calibration_file", fuzzCalibrationFile},
    {"node_message", fuzzNodeMessage},
};

// Null for a name that is not listed.
const FuzzEntry* findFuzzEntry(const std::string& name);
