#pragma once
// The outputs beside the TCP server that a run switches on, made in one
// place for the dialog and the headless mode.
#include <memory>
#include <vector>
#include "mqtt_output.h"
#include "output_target.h"
#include "tuio_output.h"
#include "tracking_worker.h"

// One FrameOutput per target that is on (TUIO first); none when both are
// off. `format` selects the MQTT report's fields; `notice` hears of the
// broker's loss and return; `volume` is TUIO's 3D working volume;
// `mqttNode` makes the MQTT output a camera node's of that name.
std::vector<std::shared_ptr<FrameOutput>> makeFrameOutputs(const OutputTarget& tuio, const OutputTarget& mqtt,
                                                           DataFormat format, MqttOutput::Notice notice,
                                                           TuioVolume volume = {}, const std::string& mqttNode = "");
