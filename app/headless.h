#pragma once
// The headless server's options: the stored settings, with the command
// line over them.
#include <string>
#include "detector_options.h"
#include "output_target.h"
#include "protocol.h"
#include "report.h"
#include "web_output.h"
#include "world_frame.h"

struct Settings;

struct HeadlessOptions {
    int port = 0;  // 0: the system picks a free port
    bool automatic = true;
    DataFormat format;
    // A source name ("synthetic", "v4l2:0", ...); empty: the source at
    // cameraIndex in the list of sources found; "none": serve an empty
    // table; "list": print the sources found and end.
    std::string camera;
    int cameraIndex = 0;
    bool preview = false;  // show the "Preview" window (needs a display)
    bool watch = false;    // print the Output text a few times a second
    DetectorOptions detector;  // installed into the detector at start
    OutputTarget tuio;  // --tuio, [TuioHost] [TuioPort]; off without a host
    TuioVolume tuioVolume;  // --tuio-volume: where /tuio/3Dobj's 0..1 lie
    OutputTarget mqtt;  // --mqtt, [MqttHost] [MqttPort] [MqttPrefix]
    WebOptions web;     // --http, --http-image, [HttpHost] [HttpPort]; off without a port
    std::string webOption = "--http";  // named when the page cannot listen
    WorldOptions world; // --world, --camera-fixed, [WorldBody] [CameraFixed]
    // --command-timeout, [CommandIdleTimeout]: a silent Command-Mode client's limit.
    int commandIdleTimeout = COMMAND_IDLE_TIMEOUT_DEFAULT_S;
    // --node, [NodeName]: a camera node of that name publishes under
    // PREFIX/nodes/NAME/ for a fusion node; empty: not a node.
    std::string node;
    std::string nodeOption = "--node";  // named when it is refused
};

// The options the stored settings give: port, mode, fields, camera selection.
HeadlessOptions optionsFromSettings(const Settings& settings);
