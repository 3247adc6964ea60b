#include "output_target.h"
#include <netdb.h>
#include <sys/socket.h>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace {

bool isDigits(const std::string& text) {
    if (text.empty() || text.size() > 5) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

// Splits "HOST[:PORT]rest" where rest starts with '/' or is empty.
bool splitHostPort(const std::string& text, std::string& host, int& port, std::string& rest, std::string& error) {
    std::size_t afterHost = 0;
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos) {
            error = "the address \"" + text + "\" lacks its closing ]";
            return false;
        }
        host = text.substr(1, close - 1);
        afterHost = close + 1;
    } else {
        afterHost = text.find_first_of(":/");
        if (afterHost == std::string::npos) afterHost = text.size();
        host = text.substr(0, afterHost);
    }
    if (host.empty()) {
        error = "no host in \"" + text + "\"";
        return false;
    }
    std::size_t slash = text.find('/', afterHost);
    if (slash == std::string::npos) slash = text.size();
    rest = text.substr(slash);
    if (afterHost == slash) return true;
    const std::string portText = text.substr(afterHost, slash - afterHost);
    if (portText[0] != ':' || !isDigits(portText.substr(1))) {
        error = "the port in \"" + text + "\" is not a number from 1 to 65535";
        return false;
    }
    port = std::stoi(portText.substr(1));
    return true;
}

bool fail(const std::string& option, const std::string& problem, std::string& error) {
    if (problem.empty()) return true;
    error = option + ": " + problem;
    return false;
}

std::string hostPortText(const OutputTarget& target) {
    const bool ipv6 = target.host.find(':') != std::string::npos;
    return (ipv6 ? "[" + target.host + "]" : target.host) + ":" + std::to_string(target.port);
}

} // namespace

std::string hostProblem(const std::string& host) {
    if (host.empty()) return "no host given";
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (found) freeaddrinfo(found);
    if (rc == 0) return "";
    return "the host \"" + host + "\" does not resolve (" + gai_strerror(rc) + ")";
}

std::string portProblem(int port) {
    if (port >= 1 && port <= 65535) return "";
    return "the port " + std::to_string(port) + " is not from 1 to 65535";
}

std::string prefixProblem(const std::string& prefix) {
    if (prefix.empty()) return "the topic prefix is empty";
    if (prefix.find_first_of("+#") != std::string::npos)
        return "the topic prefix \"" + prefix + "\" holds an MQTT wildcard (+ or #)";
    if (prefix.find_first_of(" \t\r\n\v\f") != std::string::npos || prefix.find('\0') != std::string::npos)
        return "the topic prefix \"" + prefix + "\" holds white space";
    if (prefix.front() == '/' || prefix.back() == '/' || prefix.find("//") != std::string::npos)
        return "the topic prefix \"" + prefix + "\" has an empty level";
    return "";
}

// The common part of both texts: "" is off (accepted), otherwise HOST with
// an optional :PORT, and `rest` gets what follows ('/' and on, or "").
bool parseHostPort(const std::string& text, const std::string& option, int defaultPort, OutputTarget& parsed,
                   std::string& rest, std::string& error) {
    parsed = OutputTarget{};
    if (text.empty()) return true;
    parsed.port = defaultPort;
    std::string problem;
    if (!splitHostPort(text, parsed.host, parsed.port, rest, problem)) return fail(option, problem, error);
    return fail(option, portProblem(parsed.port), error);
}

bool parseTuioTarget(const std::string& text, const std::string& option, OutputTarget& target, std::string& error) {
    OutputTarget parsed;
    std::string rest;
    if (!parseHostPort(text, option, TUIO_DEFAULT_PORT, parsed, rest, error)) return false;
    if (!rest.empty()) return fail(option, "\"" + text + "\" is not HOST[:PORT]", error);
    if (parsed.on() && !fail(option, hostProblem(parsed.host), error)) return false;
    target = parsed;
    return true;
}

bool parseMqttTarget(const std::string& text, const std::string& option, OutputTarget& target, std::string& error) {
    OutputTarget parsed;
    std::string rest;
    if (!parseHostPort(text, option, MQTT_DEFAULT_PORT, parsed, rest, error)) return false;
    if (parsed.on()) {
        parsed.prefix = rest.empty() ? MQTT_DEFAULT_PREFIX : rest.substr(1);
        if (!fail(option, prefixProblem(parsed.prefix), error) || !fail(option, hostProblem(parsed.host), error))
            return false;
    }
    target = parsed;
    return true;
}

bool checkTuioTarget(const OutputTarget& target, std::string& error) {
    if (!target.on()) return true;
    return fail("[TuioPort]", portProblem(target.port), error) &&
           fail("[TuioHost]", hostProblem(target.host), error);
}

bool checkMqttTarget(const OutputTarget& target, std::string& error) {
    if (!target.on()) return true;
    return fail("[MqttPort]", portProblem(target.port), error) &&
           fail("[MqttPrefix]", prefixProblem(target.prefix), error) &&
           fail("[MqttHost]", hostProblem(target.host), error);
}

std::string tuioTargetText(const OutputTarget& target) { return target.on() ? hostPortText(target) : ""; }

std::string mqttTargetText(const OutputTarget& target) {
    return target.on() ? hostPortText(target) + "/" + target.prefix : "";
}

bool parseTuioVolume(const std::string& text, const std::string& option, TuioVolume& volume, std::string& error) {
    double values[4];
    const char* at = text.c_str();
    for (int k = 0; k < 4; ++k) {
        char* end = nullptr;
        values[k] = std::strtod(at, &end);
        const char expected = k < 3 ? ',' : '\0';
        if (end == at || *end != expected || !std::isfinite(values[k])) {
            error = option + ": \"" + text + "\" is not WIDTH,HEIGHT,NEAREST,FARTHEST in millimetres";
            return false;
        }
        at = end + 1;
    }
    if (!(values[0] > 0 && values[1] > 0 && values[2] >= 0 && values[3] > values[2])) {
        error = option + ": \"" + text + "\" needs a width and height above 0 and 0 <= NEAREST < FARTHEST";
        return false;
    }
    volume = TuioVolume{values[0], values[1], values[2], values[3]};
    return true;
}

std::string tuioVolumeText(const TuioVolume& volume) {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << volume.width << ',' << volume.height << ',' << volume.nearest << ',' << volume.farthest;
    return text.str();
}
