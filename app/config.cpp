#include "config.h"
#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <istream>
#include <locale>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>
#include "node_messages.h"
#include "replace_file.h"
#include "whole_file.h"

static const char* const ConfigPath = "Data/config.txt";

// Each line starts with its key padded with spaces to this width: the
// longest key, "[DefaultPatternWidth]", plus one space.
static constexpr int KeyWidth = 22;

static const char* const ImageSizeListKey = "[ImageSizeList]";
static const char* const DefaultPatternWidthKey = "[DefaultPatternWidth]";
static const char* const TuioVolumeKey = "[TuioVolume]";

// The settings whose value is one int, in the file's order; the image-size
// list goes between the two groups. A value outside min..max is refused by
// name and the setting keeps what it had: an int that the server or a
// control would take modulo its width must never pass unnoticed.
struct IntSetting {
    const char* key;
    IntField member;
    int min, max;
};
static const IntSetting IntSettingsBeforeList[] = {
    {"[Port]", &Settings::port, 0, 65535},
    {"[MaxCameraNum]", &Settings::maxCameraNum, 1, MaxCameraNumLimit},
    // Checked against [MaxCameraNum] once the whole file is read.
    {"[CameraSelected]", &Settings::cameraSelected, 0, MaxCameraNumLimit - 1},
};
// The report fields' keys come from their table, in the file's order.
static const std::vector<IntSetting> IntSettingsAfterList = [] {
    std::vector<IntSetting> list = {
        // Checked against the image-size list once the whole file is read.
        {"[ImageSizeSelected]", &Settings::imageSizeSelected, 0, INT_MAX},
        {"[DataFlow]", &Settings::dataFlow, 0, 1},
    };
    for (int place = 0; place < REPORT_FIELD_COUNT; ++place) {
        const ReportField& field = reportFieldByKeyPlace(place);
        list.push_back({field.key, field.check, 0, 1});
    }
    list.push_back({"[CheckPreview]", &Settings::checkPreview, 0, 1});
    return list;
}();

// The opt-in keys: written after the specified keys when they differ from
// the default, so that a file of the defaults holds the specified lines alone.
static const IntSetting OptInSettings[] = {
    {"[CheckStamp]", &DataFormat::CheckStamp, 0, 1},
    {"[CornerRefine]", &Settings::cornerRefine, 0, 1},
    {"[Threshold]", &Settings::threshold, kThresholdMin, kThresholdMax},
    {"[AutoThreshold]", &Settings::autoThreshold, 0, 1},
    {"[MaxSquares]", &Settings::maxSquares, kMaxSquaresMin, kMaxSquaresMax},
    {"[MaxMarkerArea]", &Settings::maxMarkerArea, kMaxMarkerAreaMin, kMaxMarkerAreaMax},
    {"[RealCamera]", &Settings::realCamera, 0, 1},
    {"[CommandIdleTimeout]", &Settings::commandIdleTimeout, 0, COMMAND_IDLE_TIMEOUT_MAX_S},
};

// An image size is refused beyond what any camera delivers.
constexpr int kImageSideMax = 100000;

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
    {"[HttpHost]", &Settings::httpHost},
};
// The world frame's keys, after every other, each only when set.
static const TextSetting WorldTextSettings[] = {
    {"[WorldBody]", &Settings::worldBody},
};
static const IntSetting WorldIntSettings[] = {
    {"[CameraFixed]", &Settings::cameraFixed, 0, 1},
};
// The camera node's name, after the world keys, only when set.
static const TextSetting NodeTextSettings[] = {
    {"[NodeName]", &Settings::nodeName},
};

static const IntSetting OutputIntSettings[] = {
    {"[TuioPort]", &Settings::tuioPort, 1, 65535},
    {"[MqttPort]", &Settings::mqttPort, 1, 65535},
    {"[HttpPort]", &Settings::httpPort, 0, 65535},
};

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

// The page's keys, each only when it is not its default.
static void writePageSettings(std::ostream& out, const Settings& settings) {
    const Settings defaults;
    auto line = [&out](const char* key) -> std::ostream& { return out << std::left << std::setw(KeyWidth) << key; };
    if (settings.httpHost != defaults.httpHost && !settings.httpHost.empty())
        line("[HttpHost]") << settings.httpHost << '\n';
    if (settings.httpPort != defaults.httpPort) line("[HttpPort]") << settings.httpPort << '\n';
}

static void writeWorldSettings(std::ostream& out, const Settings& settings) {
    auto line = [&out](const char* key) -> std::ostream& { return out << std::left << std::setw(KeyWidth) << key; };
    if (!settings.worldBody.empty()) line("[WorldBody]") << settings.worldBody << '\n';
    if (settings.cameraFixed != 0) line("[CameraFixed]") << settings.cameraFixed << '\n';
    if (!settings.nodeName.empty()) line("[NodeName]") << settings.nodeName << '\n';
}

WorldOptions worldOptionsOf(const Settings& settings) {
    WorldOptions world;
    world.body = settings.worldBody;
    world.cameraFixed = settings.cameraFixed != 0;
    return world;
}

WebOptions webOptionsOf(const Settings& settings) {
    WebOptions page;
    if (settings.httpPort <= 0) return page;
    page.host = settings.httpHost;
    page.port = settings.httpPort;
    return page;
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

// ---- Reading. The file is taken apart into words first, so that a value
// that cannot be read is skipped alone and a key where a value should be
// starts its own setting.
namespace {

const IntSetting* intSetting(const std::string& word) {
    for (const IntSetting& s : IntSettingsBeforeList)
        if (word == s.key) return &s;
    for (const IntSetting& s : IntSettingsAfterList)
        if (word == s.key) return &s;
    for (const IntSetting& s : OptInSettings)
        if (word == s.key) return &s;
    for (const IntSetting& s : OutputIntSettings)
        if (word == s.key) return &s;
    for (const IntSetting& s : WorldIntSettings)
        if (word == s.key) return &s;
    return nullptr;
}

const TextSetting* textSetting(const std::string& word) {
    for (const TextSetting& s : OutputTextSettings)
        if (word == s.key) return &s;
    for (const TextSetting& s : WorldTextSettings)
        if (word == s.key) return &s;
    for (const TextSetting& s : NodeTextSettings)
        if (word == s.key) return &s;
    return nullptr;
}

// "[Word]": a key, known or not.
bool looksLikeKey(const std::string& word) {
    return word.size() > 2 && word.front() == '[' && word.back() == ']';
}

size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::vector<std::string> allKeys();

// The known key a misspelt one most likely means: two edits away at most,
// or the same but for case. Empty when none is that close.
std::string nearestKey(const std::string& word) {
    std::string best;
    size_t bestDistance = 3;
    for (const std::string& key : allKeys()) {
        std::string lowerKey = key, lowerWord = word;
        for (char& c : lowerKey) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (char& c : lowerWord) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const size_t distance = lowerKey == lowerWord ? 0 : editDistance(key, word);
        if (distance < bestDistance) {
            best = key;
            bestDistance = distance;
        }
    }
    return best;
}

bool isKey(const std::string& word) {
    return intSetting(word) || textSetting(word) || word == ImageSizeListKey || word == DefaultPatternWidthKey ||
           word == TuioVolumeKey;
}

std::vector<std::string> allKeys() {
    std::vector<std::string> keys{ImageSizeListKey, DefaultPatternWidthKey, TuioVolumeKey};
    for (const IntSetting& s : IntSettingsBeforeList) keys.push_back(s.key);
    for (const IntSetting& s : IntSettingsAfterList) keys.push_back(s.key);
    for (const IntSetting& s : OptInSettings) keys.push_back(s.key);
    for (const IntSetting& s : OutputIntSettings) keys.push_back(s.key);
    for (const TextSetting& s : OutputTextSettings) keys.push_back(s.key);
    for (const IntSetting& s : WorldIntSettings) keys.push_back(s.key);
    for (const TextSetting& s : WorldTextSettings) keys.push_back(s.key);
    for (const TextSetting& s : NodeTextSettings) keys.push_back(s.key);
    return keys;
}

// A whole word of decimal digits, with an optional sign; values beyond the
// range of long long read as its ends, which every range refuses.
bool parseWholeNumber(const std::string& word, long long& value) {
    size_t i = word[0] == '-' || word[0] == '+' ? 1 : 0;
    if (i == word.size()) return false;
    value = 0;
    for (; i < word.size(); ++i) {
        if (word[i] < '0' || word[i] > '9') return false;
        if (value < LLONG_MAX / 10) value = value * 10 + (word[i] - '0');
        else value = LLONG_MAX;
    }
    if (word[0] == '-') value = -value;
    return true;
}

bool parseDecimal(const std::string& word, double& value) {
    std::istringstream in(word);
    in.imbue(std::locale::classic());
    return (in >> value) && (in >> std::ws).eof() && std::isfinite(value);
}

std::string formatDecimal(double value) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << value;
    return out.str();
}

class ConfigReader {
public:
    ConfigReader(std::istream& in, Settings& settings) : settings_(settings) {
        in.imbue(std::locale::classic());
        std::string word;
        while (in >> word) words_.push_back(word);
    }

    std::vector<std::string> read() {
        settings_.unknownKeys.clear();
        while (next_ < words_.size()) {
            const std::string& word = words_[next_++];
            if (const IntSetting* s = intSetting(word)) readInt(*s);
            else if (const TextSetting* t = textSetting(word)) readText(*t);
            else if (word == ImageSizeListKey) readImageSize();
            else if (word == DefaultPatternWidthKey) readPatternWidth();
            else if (word == TuioVolumeKey) readTuioVolume();
            else if (looksLikeKey(word)) readUnknownKey(word);
        }
        checkSelections();
        return std::move(warnings_);
    }

private:
    // The next word as a value; none at the end or where a key follows, so
    // that a key whose value is missing cannot swallow the next setting.
    bool nextValue(const char* key, std::string& value) {
        if (next_ == words_.size() || isKey(words_[next_]) || looksLikeKey(words_[next_])) {
            warnings_.push_back(std::string(key) + " has no value; it is skipped");
            return false;
        }
        value = words_[next_++];
        return true;
    }

    void refuse(const char* key, const std::string& value, const std::string& rule, const std::string& kept) {
        warnings_.push_back(std::string(key) + " " + value + " is refused: " + rule + "; " + key + " stays " + kept);
    }

    static std::string rangeRule(int min, int max) {
        return "the value must be a whole number from " + std::to_string(min) + " to " + std::to_string(max);
    }

    void readInt(const IntSetting& s) {
        std::string word;
        if (!nextValue(s.key, word)) return;
        long long value;
        int& setting = s.member(settings_);
        if (!parseWholeNumber(word, value) || value < s.min || value > s.max)
            refuse(s.key, word, rangeRule(s.min, s.max), std::to_string(setting));
        else
            setting = static_cast<int>(value);
    }

    void readText(const TextSetting& s) {
        std::string word;
        if (!nextValue(s.key, word)) return;
        if (s.member == &Settings::nodeName && !validTopicName(word))
            return refuse(s.key, word,
                          "a node name is 1 to " + std::to_string(kNodeNameMax) + " bytes without +, #, / or white space",
                          settings_.nodeName.empty() ? "unset" : settings_.nodeName);
        settings_.*s.member = (word == NoHostWord && s.member != &Settings::mqttPrefix) ? "" : word;
    }

    void readImageSize() {
        std::string width, height;
        if (!nextValue(ImageSizeListKey, width) || !nextValue(ImageSizeListKey, height)) return;
        long long w, h;
        if (!parseWholeNumber(width, w) || !parseWholeNumber(height, h) || w < 1 || h < 1 || w > kImageSideMax ||
            h > kImageSideMax) {
            warnings_.push_back(std::string(ImageSizeListKey) + " " + width + " " + height +
                                " is refused: a size is two whole numbers from 1 to " + std::to_string(kImageSideMax) +
                                "; the entry is left out of the list");
            return;
        }
        settings_.imageSizeList.push_back({static_cast<int>(w), static_cast<int>(h)});
    }

    void readPatternWidth() {
        std::string word;
        if (!nextValue(DefaultPatternWidthKey, word)) return;
        double value;
        if (!parseDecimal(word, value) || !(value > 0.0))
            refuse(DefaultPatternWidthKey, word, "the value must be a number of millimetres above 0",
                   formatDecimal(settings_.defaultPatternWidth));
        else
            settings_.defaultPatternWidth = value;
    }

    void readTuioVolume() {
        std::string word, error;
        if (!nextValue(TuioVolumeKey, word)) return;
        TuioVolume volume;
        if (!parseTuioVolume(word, TuioVolumeKey, volume, error))
            refuse(TuioVolumeKey, word, "the value must be WIDTH,HEIGHT,NEAREST,FARTHEST in mm, width and height above 0, 0 <= NEAREST < FARTHEST",
                   tuioVolumeText(settings_.tuioVolume));
        else
            settings_.tuioVolume = volume;
    }

    // Kept with its words, and named with the key it most likely means.
    void readUnknownKey(const std::string& key) {
        std::string values;
        while (next_ < words_.size() && !isKey(words_[next_]) && !looksLikeKey(words_[next_]))
            values += (values.empty() ? "" : " ") + words_[next_++];
        settings_.unknownKeys.emplace_back(key, values);
        const std::string meant = nearestKey(key);
        warnings_.push_back(key + " is not a key of this file" +
                            (meant.empty() ? std::string() : " (did you mean " + meant + "?)") +
                            "; it does nothing, and is kept in the file as it is");
    }

    // The selections index lists that may come later in the file.
    void checkSelections() {
        if (settings_.cameraSelected >= settings_.maxCameraNum) {
            warnings_.push_back("[CameraSelected] " + std::to_string(settings_.cameraSelected) +
                                " is refused: the value must be from 0 to " +
                                std::to_string(settings_.maxCameraNum - 1) + " while [MaxCameraNum] is " +
                                std::to_string(settings_.maxCameraNum) + "; [CameraSelected] is 0");
            settings_.cameraSelected = 0;
        }
        const int sizes = static_cast<int>(settings_.imageSizeList.size());
        if (settings_.imageSizeSelected != 0 && settings_.imageSizeSelected >= sizes) {
            warnings_.push_back("[ImageSizeSelected] " + std::to_string(settings_.imageSizeSelected) +
                                " is refused: the list holds " + std::to_string(sizes) +
                                " image size(s), counted from 0; [ImageSizeSelected] is 0");
            settings_.imageSizeSelected = 0;
        }
    }

    Settings& settings_;
    std::vector<std::string> words_;
    size_t next_ = 0;
    std::vector<std::string> warnings_;
};

} // namespace

std::vector<std::string> readConfig(std::istream& in, Settings& settings) {
    return ConfigReader(in, settings).read();
}

void writeConfig(std::ostream& out, const Settings& settings) {
    out.imbue(std::locale::classic());
    out.unsetf(std::ios::floatfield);
    out.precision(6);
    auto key = [&out](const char* name) -> std::ostream& {
        return out << std::left << std::setw(KeyWidth) << name;
    };
    for (const IntSetting& s : IntSettingsBeforeList) key(s.key) << s.member(settings) << '\n';
    for (const ImageSize& size : settings.imageSizeList) {
        key(ImageSizeListKey) << size.width << ' ' << size.height << '\n';
    }
    for (const IntSetting& s : IntSettingsAfterList) key(s.key) << s.member(settings) << '\n';
    key(DefaultPatternWidthKey) << settings.defaultPatternWidth << '\n';
    const Settings defaults;
    for (const IntSetting& s : OptInSettings) {
        if (s.member(settings) != s.member(defaults)) key(s.key) << s.member(settings) << '\n';
    }
    writeOutputSettings(out, settings);
    if (!(settings.tuioVolume == defaults.tuioVolume))
        key(TuioVolumeKey) << tuioVolumeText(settings.tuioVolume) << '\n';
    writePageSettings(out, settings);
    writeWorldSettings(out, settings);
    // Last, after every key this version writes.
    for (const auto& [name, values] : settings.unknownKeys) {
        if (values.empty()) out << name << '\n';
        else out << std::left << std::setw(KeyWidth - 1) << name << ' ' << values << '\n';
    }
}

void normalizeSettings(Settings& settings) {
    if (settings.maxCameraNum < 1) settings.maxCameraNum = 1;
    if (settings.maxCameraNum > MaxCameraNumLimit) settings.maxCameraNum = MaxCameraNumLimit;
    if (settings.cameraSelected < 0 || settings.cameraSelected >= settings.maxCameraNum) settings.cameraSelected = 0;
    if (!selectedImageSize(settings)) settings.imageSizeSelected = 0;
    if (settings.dataFlow != 0 && settings.dataFlow != 1) settings.dataFlow = 0;
    std::vector<IntField> switches = {&Settings::checkPreview, &DataFormat::CheckStamp};
    for (const ReportField& field : REPORT_FIELDS) switches.push_back(field.check);
    for (IntField sw : switches) {
        if (sw(settings) != 0) sw(settings) = 1;
    }
    if (!(settings.defaultPatternWidth > 0.0) || !std::isfinite(settings.defaultPatternWidth)) {
        settings.defaultPatternWidth = Settings().defaultPatternWidth;
    }
    for (const IntSetting& s : OptInSettings) {
        if (s.member(settings) < s.min || s.member(settings) > s.max) s.member(settings) = s.member(Settings());
    }
}

const ImageSize* selectedImageSize(const Settings& settings) {
    const int i = settings.imageSizeSelected;
    if (i < 0 || static_cast<size_t>(i) >= settings.imageSizeList.size()) return nullptr;
    return &settings.imageSizeList[static_cast<size_t>(i)];
}

int LoadConfig(Settings& settings, std::vector<std::string>* warnings) {
    std::string text, reason;
    if (!readWholeFile(ConfigPath, text, reason)) {
        // A missing file is the first start; anything else is named.
        if (std::filesystem::exists(ConfigPath)) std::printf("%s can not open: %s.\n", ConfigPath, reason.c_str());
        else std::printf("%s can not open.\n", ConfigPath);
        std::fflush(stdout);
        return -1;
    }
    std::istringstream in(text);
    std::vector<std::string> refused = readConfig(in, settings);
    // The file is rewritten at close with what was kept, so each refusal is
    // said where the operator looks.
    for (std::string& message : refused) {
        message = std::string(ConfigPath) + ": " + message + ".";
        std::printf("%s\n", message.c_str());
    }
    std::fflush(stdout);
    if (warnings) warnings->insert(warnings->end(), refused.begin(), refused.end());
    normalizeSettings(settings);
    return 0;
}

int SaveConfig(const Settings& settings, std::string* error) {
    std::ostringstream out;
    writeConfig(out, settings);
    std::string why;
    if (writeTextFileReplacing(ConfigPath, out.str(), why)) return 0;
    if (error) *error = why;
    return -1;
}

DetectorOptions detectorOptionsOf(const Settings& settings) {
    DetectorOptions options;
    options.cornerRefine = settings.cornerRefine != 0;
    options.threshold = settings.threshold;
    options.autoThreshold = settings.autoThreshold != 0;
    options.maxSquares = settings.maxSquares;
    options.maxMarkerArea = settings.maxMarkerArea;
    if (settings.realCamera != 0) applyRealCamera(options);
    return options;
}
