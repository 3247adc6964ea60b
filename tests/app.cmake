# The operator dialog and pattern capture: controls, catalogue editing,
# running and capturing.
find_package(Qt5 REQUIRED COMPONENTS Test)
add_library(qm_gui_test_support STATIC app/gui_support.cpp)
target_include_directories(qm_gui_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/app)
target_link_libraries(qm_gui_test_support PUBLIC Qt5::Widgets Qt5::Test)

quillmark_test(dialog_test
  SOURCES app/dialog_support.cpp app/dialog_controls_test.cpp app/dialog_catalogue_test.cpp
          app/dialog_running_test.cpp
  LIBS qm_app qm_gui_test_support qm_output_receivers)
quillmark_test(capture_worker_test
  SOURCES capture/capture_worker_test.cpp
  LIBS qm_capture qm_gui_test_support)

# The configuration file.
quillmark_test(config_test SOURCES app/config_test.cpp LIBS qm_app)
