#pragma once
// Rigid bodies: several catalogued markers fixed on one object, tracked as
// one pose. Data/body_list.txt holds one line per member,
//
//     [Member] BODY PATTERN X Y Z QW QX QY QZ
//
// X Y Z the centre of the member's black square in the body frame (mm) and
// QW QX QY QZ the unit quaternion that turns the member's marker frame into
// the body frame. A member line may leave its pose out ("[Member] BODY
// PATTERN") until it has been measured; its body is not tracked until then.
// '#' starts a comment. Without the file nothing of this is used.
#include <string>
#include <vector>
#include "pattern_entry.h"

constexpr const char* kBodyListPath = "Data/body_list.txt";

// A quaternion whose length is farther than this from 1 is refused rather
// than normalised: it is a typing error, not rounding.
constexpr double kQuaternionLengthTolerance = 0.01;

struct BodyMember {
    std::string pattern;      // catalogue name
    bool poseKnown = false;
    double X = 0.0, Y = 0.0, Z = 0.0;                // mm, body frame
    double QW = 1.0, QX = 0.0, QY = 0.0, QZ = 0.0;   // marker frame to body frame, unit
    // From the catalogue when the list was read: the detector's pattern id
    // and the printed width (mm); -1 and 0 when not catalogued.
    int patternId = -1;
    double widthMm = 0.0;
    int line = 0;             // line of the file it came from, from 1
};

struct Body {
    std::string name;
    std::vector<BodyMember> members; // in file order; the first defines the body frame when measured
    // Every member has its pose: the body can be tracked.
    bool tracked() const;
};

struct BodyList {
    std::vector<Body> bodies;             // in the order of their first line
    // One message per line refused or body skipped, naming the file and the line.
    std::vector<std::string> refusals;
};

// Reads `path` against `catalogue` (names, pattern ids and widths). Lines
// that cannot be read, name a pattern that is not catalogued or already
// belongs to a body, or carry a quaternion far from unit length are
// refused alone; a body left with no member is skipped with a message.
// False, with `list` empty and no message, when the file cannot be opened.
bool readBodyList(const std::string& path, const Catalogue& catalogue, BodyList& list);

// The same from text already read, for `path` in the messages.
BodyList parseBodyList(const std::string& text, const std::string& path, const Catalogue& catalogue);

// The file's text for `bodies`: a comment naming the columns, then one
// member a line in body and member order, millimetres with six decimals
// and quaternions with nine.
std::string bodyListText(const std::vector<Body>& bodies);

// Writes bodyListText(bodies) to `path` whole beside it and renames it over
// the old file, which is kept as the next backup (path.bak, path.bak.1,
// ...) and named in `backupPath`. Nothing is changed unless all succeeded.
bool writeBodyList(const std::string& path, const std::vector<Body>& bodies, std::string& error,
                   std::string* backupPath = nullptr);

// The file's text `oldText` with `body` changed or added, and nothing else
// touched: each of its members' lines is rewritten in place (a comment at
// the line's end kept), members it lacks a line for follow the body's last
// line (or the end), and every other line (the user's comments, blank
// lines, other bodies) is kept as it was. An empty `oldText` gives the
// columns comment and the body.
std::string updatedBodyListText(const std::string& oldText, const Body& body);

// writeBodyList for one body measured or added: `path` rewritten as
// updatedBodyListText of what it holds (nothing when it is missing).
bool writeBodyChange(const std::string& path, const Body& body, std::string& error,
                     std::string* backupPath = nullptr);

// The body a pattern id belongs to and the member's index, or false.
bool findMember(const std::vector<Body>& bodies, int patternId, size_t& body, size_t& member);
