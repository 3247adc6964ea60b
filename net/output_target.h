#pragma once
// Where the TUIO and MQTT outputs send: "HOST[:PORT]" and
// "HOST[:PORT][/PREFIX]", as typed on the command line or in the dialog.
// Everything is checked before anything starts, so a typing mistake is
// refused with a message naming the option instead of failing unseen.
#include <string>

constexpr int TUIO_DEFAULT_PORT = 3333;
constexpr int MQTT_DEFAULT_PORT = 1883;
const char* const MQTT_DEFAULT_PREFIX = "quillmark";

struct OutputTarget {
    std::string host;   // empty: the output is off
    int port = 0;
    std::string prefix; // MQTT topic prefix; unused by TUIO

    bool on() const { return !host.empty(); }
};

// Why `host` cannot be sent to ("" when it resolves).
std::string hostProblem(const std::string& host);
// Why a port is unusable: outside 1 to 65535.
std::string portProblem(int port);
// Why a topic prefix is unusable: empty, an empty level, a wildcard (+ or
// #), or white space, which the settings file could not keep.
std::string prefixProblem(const std::string& prefix);

// The box of camera space that /tuio/3Dobj positions are mapped into 0..1,
// in millimetres: x from -width/2 (0) to width/2 (1), y from -height/2 (0,
// above the optical axis) to height/2 (1), z from nearest (0) to farthest (1).
// Positions outside the box are clamped to its faces.
struct TuioVolume {
    double width = 2000, height = 1500, nearest = 0, farthest = 2000;
    bool operator==(const TuioVolume& o) const {
        return width == o.width && height == o.height && nearest == o.nearest && farthest == o.farthest;
    }
};

// Reads "WIDTH,HEIGHT,NEAREST,FARTHEST" (millimetres, e.g. "2000,1500,0,2000");
// false with the reason, prefixed by `option`, in `error`.
bool parseTuioVolume(const std::string& text, const std::string& option, TuioVolume& volume, std::string& error);
// The text parseTuioVolume reads back into `volume`.
std::string tuioVolumeText(const TuioVolume& volume);

// Reads "HOST[:PORT]" (TUIO) or "HOST[:PORT][/PREFIX]" (MQTT) and checks
// the result; an IPv6 address goes in brackets ("[::1]:3333"). False with
// the reason, prefixed by `option`, in `error`. An empty text turns the
// output off and is accepted.
bool parseTuioTarget(const std::string& text, const std::string& option, OutputTarget& target, std::string& error);
bool parseMqttTarget(const std::string& text, const std::string& option, OutputTarget& target, std::string& error);

// The same checks for values that come from the settings file, named by
// their keys. True when the output is off or usable.
bool checkTuioTarget(const OutputTarget& target, std::string& error);
bool checkMqttTarget(const OutputTarget& target, std::string& error);

// The text the parsers read back into `target` ("" when off).
std::string tuioTargetText(const OutputTarget& target);
std::string mqttTargetText(const OutputTarget& target);
