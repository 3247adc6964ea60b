# The fuzz entry points, shared by the fuzz targets and by the regression
# tests that replay the inputs kept under tests/fuzz/inputs/.
if(NOT TARGET qm_fuzz_entries)
  add_library(qm_fuzz_entries STATIC
    ${CMAKE_CURRENT_LIST_DIR}/fuzz_entries.cpp
    ${CMAKE_CURRENT_LIST_DIR}/command_dialogue_entry.cpp
    ${CMAKE_CURRENT_LIST_DIR}/file_entries.cpp
    ${CMAKE_CURRENT_LIST_DIR}/detector_entries.cpp
    ${CMAKE_CURRENT_LIST_DIR}/calibration_entry.cpp
    ${CMAKE_CURRENT_LIST_DIR}/node_message_entry.cpp
  )
  target_include_directories(qm_fuzz_entries PUBLIC ${CMAKE_CURRENT_LIST_DIR})
  target_compile_definitions(qm_fuzz_entries PRIVATE QUILLMARK_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  target_link_libraries(qm_fuzz_entries PUBLIC qm_app qm_net qm_detect)
endif()
