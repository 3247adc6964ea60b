# The TUIO and MQTT outputs: fan-out to 100 subscribers through a local
# Mosquitto broker, and the worker's rates with both outputs on and off.
if(TARGET qm_output_receivers)
  add_executable(outputs_bench outputs_bench.cpp)
  target_link_libraries(outputs_bench PRIVATE qm_app qm_output_receivers)
endif()
