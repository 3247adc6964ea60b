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

// Reads "HOST[:PORT]" (TUIO) or "HOST[:PORT][/PREFIX]" (MQTT) and checks
// the result; an IPv6 address goes in brackets ("[::1]:3333"). False with
// the reason, prefixed by `option`, in `error`. An empty text turns the
// output off and is accepted. Without `lookUpHost` the host is not resolved.
bool parseTuioTarget(const std::string& text, const std::string& option, OutputTarget& target, std::string& error, bool lookUpHost = true);
bool parseMqttTarget(const std::string& text, const std::string& option, OutputTarget& target, std::string& error, bool lookUpHost = true);

// The same checks for values that come from the settings file, named by
// their keys. True when the output is off or usable.
bool checkTuioTarget(const OutputTarget& target, std::string& error);
bool checkMqttTarget(const OutputTarget& target, std::string& error);

// The text the parsers read back into `target` ("" when off).
std::string tuioTargetText(const OutputTarget& target);
std::string mqttTargetText(const OutputTarget& target);
