#pragma once
// The operator's settings and their file, "Data/config.txt" relative to the
// working directory: read once at start, written once at a normal close.
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>
#include "detector_options.h"
#include "output_target.h"
#include "protocol.h"
#include "report.h"
#include "web_output.h"
#include "world_frame.h"

struct ImageSize {
    int width = 0;
    int height = 0;
};

// Defaults are the values of a first start, used for every key the file lacks.
struct Settings {
    int port = 0;                 // TCP port of the server
    int maxCameraNum = 1;         // Camera ID box entries "0" .. maxCameraNum - 1
    int cameraSelected = 0;       // preset handed to the camera chooser
    std::vector<ImageSize> imageSizeList;  // shown and kept; the camera decides its frame size
    int imageSizeSelected = 0;
    int dataFlow = 0;             // 0 Automatic Mode, 1 Command Mode
    // The report fields, 0 or 1 each: [CheckName] .. [CheckGLmatrix], and
    // [CheckStamp] written after the specified keys like the other opt-ins.
    DataFormat format;
    int checkPreview = 0;         // "Show preview window"
    double defaultPatternWidth = 80.0;  // mm, given to each newly captured pattern
    // Outputs beside the TCP server; an empty host turns one off. Written
    // after the keys above, the host as "-" when empty.
    std::string tuioHost;
    int tuioPort = TUIO_DEFAULT_PORT;
    std::string mqttHost;
    int mqttPort = MQTT_DEFAULT_PORT;
    std::string mqttPrefix = MQTT_DEFAULT_PREFIX;

    // Detector opt-ins (detector_options.h), after the keys above and written
    // only when they differ from the default: a file of the defaults holds
    // the specified lines alone.
    int cornerRefine = 0;         // [CornerRefine] "Sub-pixel corners", 0 or 1
    int threshold = 100;          // [Threshold] 1 .. 254
    int autoThreshold = 0;        // [AutoThreshold] 0 or 1
    int maxSquares = 30;          // [MaxSquares] 1 .. 500
    int maxMarkerArea = 100000;   // [MaxMarkerArea] pixels
    int realCamera = 0;           // [RealCamera] 0 or 1: applyRealCamera() over the above
    // [CommandIdleTimeout] seconds a Command-Mode client may stay silent
    // before its connection is closed; 0 keeps it forever.
    int commandIdleTimeout = COMMAND_IDLE_TIMEOUT_DEFAULT_S;
    // [TuioVolume] W,H,NEAR,FAR: where TUIO's 3D positions lie in 0..1;
    // written only when it is not the default.
    TuioVolume tuioVolume;
    // The operator page ([HttpHost], [HttpPort]), last and only when not
    // default: off while the port is 0.
    std::string httpHost = "127.0.0.1";
    int httpPort = 0;
    // The world frame ([WorldBody] BODY, [CameraFixed] 1), last and only when set.
    std::string worldBody;
    int cameraFixed = 0;
    // [NodeName] NAME: the camera node this one is (--node), after the world
    // keys and only when set.
    std::string nodeName;
    // Bracketed words that are no key here (a misspelt key, or one of a
    // newer version), each with the words after it up to the next key, in
    // file order: named when read, and written back after everything else
    // so that nothing the operator wrote is lost.
    std::vector<std::pair<std::string, std::string>> unknownKeys;
};

// One int of the settings: a member of its own or one of its report
// switches; the tables of keys hold these.
class IntField {
public:
    IntField(int Settings::*member) : member_(member) {}
    IntField(int32_t DataFormat::*flag) : flag_(flag) {}
    int& operator()(Settings& s) const { return member_ ? s.*member_ : s.format.*flag_; }
    int operator()(const Settings& s) const { return member_ ? s.*member_ : s.format.*flag_; }

private:
    int Settings::*member_ = nullptr;
    int32_t DataFormat::*flag_ = nullptr;
};

// The Camera ID box never offers more entries than this.
constexpr int MaxCameraNumLimit = 64;

// Brings values the controls cannot show back into range: maxCameraNum into
// 1 .. MaxCameraNumLimit; a camera selection outside the box and an image
// size selection outside the list (or with an empty list) become 0; a
// DataFlow other than 0 or 1 becomes 0 (Automatic Mode); a non-zero switch
// becomes 1; a pattern width that is not a positive number becomes 80 mm.
// The port is kept as it is: the server reports a port it cannot use.
void normalizeSettings(Settings& settings);

// The detector options the settings switch on; the defaults give the
// specified detector.
DetectorOptions detectorOptionsOf(const Settings& settings);

// Where the TUIO and MQTT outputs send (off when the host is empty), and
// the other way round. Checking is left to checkTuioTarget/checkMqttTarget.
OutputTarget tuioTargetOf(const Settings& settings);
OutputTarget mqttTargetOf(const Settings& settings);
void setOutputTargets(Settings& settings, const OutputTarget& tuio, const OutputTarget& mqtt);
// Where the operator page listens; off while [HttpPort] is 0.
WebOptions webOptionsOf(const Settings& settings);
// The world frame the settings name; off without [WorldBody].
WorldOptions worldOptionsOf(const Settings& settings);

// The selected image size, or null when the selection does not index the
// list (always the case for an empty list).
const ImageSize* selectedImageSize(const Settings& settings);

// Reads settings word by word from `in` into `settings`, leaving keys that do
// not occur as they are. A value that cannot be read, or lies outside what
// its key allows, is refused alone: the setting keeps what it had and the
// reading goes on. Returns one message per refusal, naming the key, the
// value and what the key takes.
std::vector<std::string> readConfig(std::istream& in, Settings& settings);
// Writes the file's lines, "\n" ending each.
void writeConfig(std::ostream& out, const Settings& settings);

// 0 when "Data/config.txt" was read (then normalized), -1 when it could not
// be read ("Data/config.txt can not open." on standard output, with the
// reason when the file is there; settings untouched). Each value refused on reading is named on standard output
// and, when `warnings` is given, appended to it for the operator.
int LoadConfig(Settings& settings, std::vector<std::string>* warnings = nullptr);
// 0 when "Data/config.txt" was written whole, -1 when it could not be
// created or written, with the reason in `error` when given. The file is
// written beside the old one and renamed over it, so a failed save leaves
// the old file whole. Prints nothing.
int SaveConfig(const Settings& settings, std::string* error = nullptr);
