#include "bodies.h"
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include "replace_file.h"

namespace {

const char* const kMemberKey = "[Member]";

// A number word read whole: "1.5mm" or "nan" is no number of a pose.
bool readNumber(const std::string& word, double& value) {
    std::istringstream in(word);
    in >> value;
    return in && in.peek() == std::char_traits<char>::eof() && std::isfinite(value);
}

struct LineReader {
    const std::string& path;
    const Catalogue& catalogue;
    BodyList& list;
    std::map<std::string, std::string> bodyOfPattern;

    void refuse(int line, const std::string& why) {
        list.refusals.push_back(path + " line " + std::to_string(line) + ": " + why + "; the line is skipped");
    }

    const PatternEntry* entryNamed(const std::string& name) const {
        for (const PatternEntry& entry : catalogue)
            if (entry.name == name) return &entry;
        return nullptr;
    }

    Body& bodyNamed(const std::string& name) {
        for (Body& body : list.bodies)
            if (body.name == name) return body;
        list.bodies.push_back(Body{name, {}});
        return list.bodies.back();
    }

    // The pose words after BODY PATTERN: none, or all seven.
    bool readPose(const std::vector<std::string>& words, int line, BodyMember& member) {
        if (words.size() == 3) return true;
        if (words.size() != 10) {
            refuse(line, "after BODY PATTERN a member has no pose or all seven of X Y Z QW QX QY QZ, not " +
                             std::to_string(words.size() - 3));
            return false;
        }
        double v[7];
        static const char* const names[7] = {"X", "Y", "Z", "QW", "QX", "QY", "QZ"};
        for (int k = 0; k < 7; ++k) {
            if (!readNumber(words[3 + k], v[k])) {
                refuse(line, std::string(names[k]) + " \"" + words[3 + k] + "\" is not a number");
                return false;
            }
        }
        const double length = std::sqrt(v[3] * v[3] + v[4] * v[4] + v[5] * v[5] + v[6] * v[6]);
        if (std::fabs(length - 1.0) > kQuaternionLengthTolerance) {
            char text[160];
            std::snprintf(text, sizeof text, "the quaternion QW QX QY QZ has length %g, not 1", length);
            refuse(line, text);
            return false;
        }
        member.poseKnown = true;
        member.X = v[0], member.Y = v[1], member.Z = v[2];
        // Rounding in a written file is taken out, so the turn stays a turn.
        member.QW = v[3] / length, member.QX = v[4] / length, member.QY = v[5] / length, member.QZ = v[6] / length;
        return true;
    }

    void read(const std::vector<std::string>& words, int line) {
        if (words[0] != kMemberKey) {
            refuse(line, "\"" + words[0] + "\" is not " + kMemberKey);
            return;
        }
        if (words.size() < 3) {
            refuse(line, std::string("a member needs BODY and PATTERN after ") + kMemberKey);
            return;
        }
        const std::string& bodyName = words[1];
        const std::string& pattern = words[2];
        if (bodyName.find(',') != std::string::npos) {
            refuse(line, "the body name \"" + bodyName + "\" holds a comma");
            return;
        }
        const PatternEntry* entry = entryNamed(pattern);
        if (!entry) {
            refuse(line, "pattern \"" + pattern + "\" is not catalogued");
            return;
        }
        const auto owner = bodyOfPattern.find(pattern);
        if (owner != bodyOfPattern.end()) {
            refuse(line, "pattern \"" + pattern + "\" is already a member of body \"" + owner->second + "\"");
            return;
        }
        BodyMember member;
        member.pattern = pattern;
        member.patternId = entry->index;
        member.widthMm = entry->width;
        member.line = line;
        if (!readPose(words, line, member)) return;
        bodyOfPattern[pattern] = bodyName;
        bodyNamed(bodyName).members.push_back(member);
    }
};

std::vector<std::string> wordsOf(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line.substr(0, line.find('#')));
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

} // namespace

bool Body::tracked() const {
    if (members.empty()) return false;
    for (const BodyMember& member : members)
        if (!member.poseKnown) return false;
    return true;
}

BodyList parseBodyList(const std::string& text, const std::string& path, const Catalogue& catalogue) {
    BodyList list;
    LineReader reader{path, catalogue, list, {}};
    std::istringstream in(text);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        const std::vector<std::string> words = wordsOf(line);
        if (!words.empty()) reader.read(words, number);
    }
    // A body is made by its first accepted member, so none is ever empty:
    // a body all of whose lines were refused is named once more, by itself.
    std::map<std::string, bool> named;
    std::istringstream again(text);
    for (std::string line; std::getline(again, line);) {
        const std::vector<std::string> words = wordsOf(line);
        if (words.size() < 3 || words[0] != kMemberKey || words[1].find(',') != std::string::npos ||
            named[words[1]])
            continue;
        named[words[1]] = true;
        bool kept = false;
        for (const Body& body : list.bodies) kept = kept || body.name == words[1];
        if (!kept) list.refusals.push_back(path + ": body \"" + words[1] + "\" has no member left; it is skipped");
    }
    return list;
}

bool readBodyList(const std::string& path, const Catalogue& catalogue, BodyList& list) {
    list = BodyList{};
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    list = parseBodyList(text.str(), path, catalogue);
    return true;
}

namespace {

const char* const kColumnsComment = "# [Member] BODY PATTERN X Y Z QW QX QY QZ  (mm in the body frame; the unit "
                                    "quaternion turns the marker frame into the body frame)\n";

// One member's line, without its line end.
std::string memberLine(const Body& body, const BodyMember& m) {
    std::string text = std::string(kMemberKey) + " " + body.name + " " + m.pattern;
    if (m.poseKnown) {
        char numbers[256];
        std::snprintf(numbers, sizeof numbers, " %.6f %.6f %.6f %.9f %.9f %.9f %.9f", m.X, m.Y, m.Z, m.QW, m.QX,
                      m.QY, m.QZ);
        text += numbers;
    }
    return text;
}

} // namespace

std::string bodyListText(const std::vector<Body>& bodies) {
    std::string text = kColumnsComment;
    for (const Body& body : bodies)
        for (const BodyMember& m : body.members) text += memberLine(body, m) + "\n";
    return text;
}

std::string updatedBodyListText(const std::string& oldText, const Body& body) {
    if (oldText.empty()) return bodyListText({body});
    std::vector<std::string> lines;
    std::istringstream in(oldText);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::vector<bool> written(body.members.size(), false);
    size_t after = lines.size();  // where members without a line go: after the body's last line
    for (size_t k = 0; k < lines.size(); ++k) {
        const std::vector<std::string> words = wordsOf(lines[k]);
        if (words.size() < 3 || words[0] != kMemberKey || words[1] != body.name) continue;
        after = k + 1;
        for (size_t m = 0; m < body.members.size(); ++m) {
            if (written[m] || body.members[m].pattern != words[2]) continue;
            const size_t comment = lines[k].find('#');
            lines[k] = memberLine(body, body.members[m]) +
                       (comment == std::string::npos ? "" : "  " + lines[k].substr(comment));
            written[m] = true;
            break;
        }
    }
    std::vector<std::string> added;
    for (size_t m = 0; m < body.members.size(); ++m)
        if (!written[m]) added.push_back(memberLine(body, body.members[m]));
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(after), added.begin(), added.end());
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

bool writeBodyList(const std::string& path, const std::vector<Body>& bodies, std::string& error,
                   std::string* backupPath) {
    return writeTextFileKeepingBackup(path, bodyListText(bodies), error, backupPath);
}

bool writeBodyChange(const std::string& path, const Body& body, std::string& error, std::string* backupPath) {
    std::string oldText;
    if (std::ifstream in{path, std::ios::binary}) {
        std::ostringstream text;
        text << in.rdbuf();
        oldText = text.str();
    }
    return writeTextFileKeepingBackup(path, updatedBodyListText(oldText, body), error, backupPath);
}

bool findMember(const std::vector<Body>& bodies, int patternId, size_t& body, size_t& member) {
    for (size_t b = 0; b < bodies.size(); ++b)
        for (size_t m = 0; m < bodies[b].members.size(); ++m)
            if (bodies[b].members[m].patternId == patternId) {
                body = b;
                member = m;
                return true;
            }
    return false;
}
