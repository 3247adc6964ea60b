#include "config.h"
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <istream>
#include <locale>
#include <ostream>
#include <string>

static const char* const ConfigPath = "Data/config.txt";

// Each line starts with its key padded with spaces to this width: the
// longest key, "[DefaultPatternWidth]", plus one space.
static constexpr int KeyWidth = 22;

static const char* const ImageSizeListKey = "[ImageSizeList]";
static const char* const DefaultPatternWidthKey = "[DefaultPatternWidth]";

// The settings whose value is one int, in the file's order; the image-size
// list goes between the two groups.
struct IntSetting {
    const char* key;
    int Settings::*member;
};
static const IntSetting IntSettingsBeforeList[] = {
    {"[Port]", &Settings::port},
    {"[MaxCameraNum]", &Settings::maxCameraNum},
    {"[CameraSelected]", &Settings::cameraSelected},
};
static const IntSetting IntSettingsAfterList[] = {
    {"[ImageSizeSelected]", &Settings::imageSizeSelected},
    {"[DataFlow]", &Settings::dataFlow},
    {"[CheckName]", &Settings::checkName},
    {"[CheckPos2d]", &Settings::checkPos2d},
    {"[CheckDvec]", &Settings::checkDvec},
    {"[CheckPos3d]", &Settings::checkPos3d},
    {"[CheckCf]", &Settings::checkCf},
    {"[CheckArea]", &Settings::checkArea},
    {"[CheckVertex]", &Settings::checkVertex},
    {"[CheckGLmatrix]", &Settings::checkGLmatrix},
    {"[CheckPreview]", &Settings::checkPreview},
};

// The opt-in keys: refused outside their range, written after the
// specified keys when they differ from the default, so that a file of the
// defaults holds the specified lines alone.
struct RangedSetting {
    const char* key;
    int Settings::*member;
    int min, max;
};
static const RangedSetting OptInSettings[] = {
    {"[CheckStamp]", &Settings::checkStamp, 0, 1},
    {"[CornerRefine]", &Settings::cornerRefine, 0, 1},
    {"[Threshold]", &Settings::threshold, kThresholdMin, kThresholdMax},
    {"[AutoThreshold]", &Settings::autoThreshold, 0, 1},
    {"[MaxSquares]", &Settings::maxSquares, kMaxSquaresMin, kMaxSquaresMax},
    {"[MaxMarkerArea]", &Settings::maxMarkerArea, kMaxMarkerAreaMin, kMaxMarkerAreaMax},
};

static const RangedSetting* optInSetting(const std::string& word) {
    for (const RangedSetting& s : OptInSettings) {
        if (word == s.key) return &s;
    }
    return nullptr;
}

// A value outside the range is named and refused; the setting keeps what it had.
static bool readRangedValue(std::istream& in, const RangedSetting& s, Settings& settings) {
    long long value;
    if (!(in >> value)) return false;
    if (value < s.min || value > s.max) {
        std::printf("%s %lld is refused: the value must be from %d to %d; %s stays %d.\n", s.key, value, s.min,
                    s.max, s.key, settings.*s.member);
        std::fflush(stdout);
        return true;
    }
    settings.*s.member = static_cast<int>(value);
    return true;
}

static int* intSetting(const std::string& word, Settings& settings) {
    for (const IntSetting& s : IntSettingsBeforeList) {
        if (word == s.key) return &(settings.*s.member);
    }
    for (const IntSetting& s : IntSettingsAfterList) {
        if (word == s.key) return &(settings.*s.member);
    }
    return nullptr;
}

// ---- The output keys, after the others. A host is one word; "-" stands
// for none, which no host name can be.
static const char* const NoHostWord = "-";

struct TextSetting {
    const char* key;
    std::string Settings::*member;
};
static const TextSetting OutputTextSettings[] = {
    {"[TuioHost]", &Settings::tuioHost},
    {"[MqttHost]", &Settings::mqttHost},
    {"[MqttPrefix]", &Settings::mqttPrefix},
};
static const IntSetting OutputIntSettings[] = {
    {"[TuioPort]", &Settings::tuioPort},
    {"[MqttPort]", &Settings::mqttPort},
};

// False when `word` is an output key whose value cannot be read.
static bool readOutputSetting(std::istream& in, const std::string& word, Settings& settings) {
    for (const TextSetting& s : OutputTextSettings) {
        if (word != s.key) continue;
        std::string value;
        if (!(in >> value)) return false;
        settings.*s.member = (value == NoHostWord && s.member != &Settings::mqttPrefix) ? "" : value;
    }
    for (const IntSetting& s : OutputIntSettings) {
        if (word != s.key) continue;
        int value;
        if (!(in >> value)) return false;
        settings.*s.member = value;
    }
    return true;
}

// Nothing while both outputs are off and untouched, so the file of a
// setup without them stays as it always was.
static void writeOutputSettings(std::ostream& out, const Settings& settings) {
    const Settings defaults;
    if (settings.tuioHost.empty() && settings.mqttHost.empty() && settings.tuioPort == defaults.tuioPort &&
        settings.mqttPort == defaults.mqttPort && settings.mqttPrefix == defaults.mqttPrefix)
        return;
    auto line = [&out](const char* key) -> std::ostream& { return out << std::left << std::setw(KeyWidth) << key; };
    auto host = [](const std::string& name) { return name.empty() ? std::string(NoHostWord) : name; };
    line("[TuioHost]") << host(settings.tuioHost) << '\n';
    line("[TuioPort]") << settings.tuioPort << '\n';
    line("[MqttHost]") << host(settings.mqttHost) << '\n';
    line("[MqttPort]") << settings.mqttPort << '\n';
    line("[MqttPrefix]") << settings.mqttPrefix << '\n';
}

OutputTarget tuioTargetOf(const Settings& settings) {
    return settings.tuioHost.empty() ? OutputTarget{} : OutputTarget{settings.tuioHost, settings.tuioPort, ""};
}

OutputTarget mqttTargetOf(const Settings& settings) {
    return settings.mqttHost.empty() ? OutputTarget{}
                                     : OutputTarget{settings.mqttHost, settings.mqttPort, settings.mqttPrefix};
}

void setOutputTargets(Settings& settings, const OutputTarget& tuio, const OutputTarget& mqtt) {
    const Settings defaults;
    settings.tuioHost = tuio.host;
    settings.tuioPort = tuio.on() ? tuio.port : defaults.tuioPort;
    settings.mqttHost = mqtt.host;
    settings.mqttPort = mqtt.on() ? mqtt.port : defaults.mqttPort;
    settings.mqttPrefix = mqtt.on() ? mqtt.prefix : defaults.mqttPrefix;
}

// Reads the value that follows a key word, if `word` is one; false when the
// value is not a number, which ends the reading. Values go through locals
// so a failed read leaves the setting as it was.
static bool readValue(std::istream& in, const std::string& word, Settings& settings) {
    if (int* setting = intSetting(word, settings)) {
        int value;
        if (!(in >> value)) return false;
        *setting = value;
    } else if (word == ImageSizeListKey) {
        ImageSize size;
        if (!(in >> size.width >> size.height)) return false;
        settings.imageSizeList.push_back(size);
    } else if (word == DefaultPatternWidthKey) {
        double value;
        if (!(in >> value)) return false;
        settings.defaultPatternWidth = value;
    } else if (const RangedSetting* ranged = optInSetting(word)) {
        return readRangedValue(in, *ranged, settings);
    } else if (!readOutputSetting(in, word, settings)) {
        return false;
    }
    return true;
}

std::string readConfig(std::istream& in, Settings& settings) {
    in.imbue(std::locale::classic());
    std::string word;
    while (in >> word) {
        if (!readValue(in, word, settings)) return word;
    }
    return "";
}

void writeConfig(std::ostream& out, const Settings& settings) {
    out.imbue(std::locale::classic());
    out.unsetf(std::ios::floatfield);
    out.precision(6);
    auto key = [&out](const char* name) -> std::ostream& {
        return out << std::left << std::setw(KeyWidth) << name;
    };
    for (const IntSetting& s : IntSettingsBeforeList) key(s.key) << settings.*s.member << '\n';
    for (const ImageSize& size : settings.imageSizeList) {
        key(ImageSizeListKey) << size.width << ' ' << size.height << '\n';
    }
    for (const IntSetting& s : IntSettingsAfterList) key(s.key) << settings.*s.member << '\n';
    key(DefaultPatternWidthKey) << settings.defaultPatternWidth << '\n';
    const Settings defaults;
    for (const RangedSetting& s : OptInSettings) {
        if (settings.*s.member != defaults.*s.member) key(s.key) << settings.*s.member << '\n';
    }
    writeOutputSettings(out, settings);
}

void normalizeSettings(Settings& settings) {
    if (settings.maxCameraNum < 1) settings.maxCameraNum = 1;
    if (settings.maxCameraNum > MaxCameraNumLimit) settings.maxCameraNum = MaxCameraNumLimit;
    if (settings.cameraSelected < 0 || settings.cameraSelected >= settings.maxCameraNum) settings.cameraSelected = 0;
    if (!selectedImageSize(settings)) settings.imageSizeSelected = 0;
    if (settings.dataFlow != 0 && settings.dataFlow != 1) settings.dataFlow = 0;
    for (int Settings::*sw : {&Settings::checkName, &Settings::checkPos2d, &Settings::checkDvec, &Settings::checkPos3d,
                              &Settings::checkCf, &Settings::checkArea, &Settings::checkVertex,
                              &Settings::checkGLmatrix, &Settings::checkPreview, &Settings::checkStamp}) {
        if (settings.*sw != 0) settings.*sw = 1;
    }
    if (!(settings.defaultPatternWidth > 0.0) || !std::isfinite(settings.defaultPatternWidth)) {
        settings.defaultPatternWidth = Settings().defaultPatternWidth;
    }
    for (const RangedSetting& s : OptInSettings) {
        if (settings.*s.member < s.min || settings.*s.member > s.max) settings.*s.member = Settings().*s.member;
    }
}

const ImageSize* selectedImageSize(const Settings& settings) {
    const int i = settings.imageSizeSelected;
    if (i < 0 || static_cast<size_t>(i) >= settings.imageSizeList.size()) return nullptr;
    return &settings.imageSizeList[static_cast<size_t>(i)];
}

int LoadConfig(Settings& settings) {
    std::ifstream in(ConfigPath);
    if (!in) {
        std::printf("%s can not open.\n", ConfigPath);
        std::fflush(stdout);
        return -1;
    }
    const std::string unread = readConfig(in, settings);
    if (!unread.empty()) {
        // The file is rewritten at close, so what follows would be lost
        // unnoticed without a word.
        std::printf("%s: the value of %s is not a number; the settings from there on are not read.\n",
                    ConfigPath, unread.c_str());
        std::fflush(stdout);
    }
    normalizeSettings(settings);
    return 0;
}

int SaveConfig(const Settings& settings) {
    std::ofstream out(ConfigPath, std::ios::binary | std::ios::trunc);
    if (!out) return -1;
    writeConfig(out, settings);
    out.close();
    return out.fail() ? -1 : 0;
}

DataFormat dataFormatOf(const Settings& settings) {
    DataFormat format;
    format.CheckName = settings.checkName;
    format.CheckPos2d = settings.checkPos2d;
    format.CheckDvec = settings.checkDvec;
    format.CheckPos3d = settings.checkPos3d;
    format.CheckGLmatrix = settings.checkGLmatrix;
    format.CheckCf = settings.checkCf;
    format.CheckArea = settings.checkArea;
    format.CheckVertex = settings.checkVertex;
    format.CheckStamp = settings.checkStamp;
    return format;
}

DetectorOptions detectorOptionsOf(const Settings& settings) {
    DetectorOptions options;
    options.cornerRefine = settings.cornerRefine != 0;
    options.threshold = settings.threshold;
    options.autoThreshold = settings.autoThreshold != 0;
    options.maxSquares = settings.maxSquares;
    options.maxMarkerArea = settings.maxMarkerArea;
    return options;
}
