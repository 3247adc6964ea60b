# The fusion node end to end: a local Mosquitto broker, real camera nodes
# and the real `quillmark fuse`; latency, processor share, eight nodes and
# recovery from a killed node and a restarted broker.
if(TARGET qm_output_receivers)
  find_package(nlohmann_json 3.10 REQUIRED)
  add_executable(fuse_bench fuse_bench.cpp)
  target_link_libraries(fuse_bench PRIVATE qm_app qm_output_receivers nlohmann_json::nlohmann_json)
  add_dependencies(fuse_bench quillmark)
endif()
