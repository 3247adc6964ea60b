#include "frame_outputs.h"
#include "tuio_output.h"

std::vector<std::shared_ptr<FrameOutput>> makeFrameOutputs(const OutputTarget& tuio, const OutputTarget& mqtt,
                                                           DataFormat format, MqttOutput::Notice notice,
                                                           TuioVolume volume, const std::string& mqttNode) {
    std::vector<std::shared_ptr<FrameOutput>> outputs;
    if (tuio.on()) outputs.push_back(std::make_shared<TuioOutput>(tuio, "", volume));
    if (mqtt.on()) outputs.push_back(std::make_shared<MqttOutput>(mqtt, format, std::move(notice), mqttNode));
    return outputs;
}
