# The TUIO and MQTT outputs against real receivers and a real broker.
add_library(qm_output_receivers STATIC support/output_receivers.cpp)
target_include_directories(qm_output_receivers PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/support)
target_link_libraries(qm_output_receivers PUBLIC qm_net)
quillmark_test(outputs_test SOURCES net/outputs_test.cpp LIBS qm_net qm_output_receivers)
