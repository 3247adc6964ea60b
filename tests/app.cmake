# The operator dialog and pattern capture: controls, catalogue editing,
# running and capturing.
find_package(Qt5 REQUIRED COMPONENTS Test)
add_library(qm_gui_test_support STATIC app/gui_support.cpp)
target_include_directories(qm_gui_test_support PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/app)
target_link_libraries(qm_gui_test_support PUBLIC Qt5::Widgets Qt5::Test)

quillmark_test(dialog_test
  SOURCES app/dialog_support.cpp app/dialog_controls_test.cpp app/dialog_catalogue_test.cpp
          app/dialog_running_test.cpp app/dialog_files_test.cpp
  LIBS qm_app qm_gui_test_support qm_output_receivers)
quillmark_test(capture_worker_test
  SOURCES capture/capture_worker_test.cpp
  LIBS qm_capture qm_gui_test_support)

# The configuration file.
quillmark_test(config_test SOURCES app/config_test.cpp LIBS qm_app)

# The dialog as a person meets it: the real binary on an X server of its own,
# driven by real pointer and key events, without and with a window manager.
# Debian's python3-xlib is installed for the system's interpreter.
find_program(QUILLMARK_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
add_test(NAME dialog_under_x
  COMMAND ${QUILLMARK_SYSTEM_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/app/dialog_under_x_test.py
          $<TARGET_FILE:quillmark> ${PROJECT_SOURCE_DIR}/Data)
set_tests_properties(dialog_under_x PROPERTIES TIMEOUT 120)
find_program(QUILLMARK_WINDOW_MANAGER openbox)
if(QUILLMARK_WINDOW_MANAGER)
  add_test(NAME dialog_under_x_with_window_manager
    COMMAND ${QUILLMARK_SYSTEM_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/app/dialog_under_x_test.py
            $<TARGET_FILE:quillmark> ${PROJECT_SOURCE_DIR}/Data --window-manager ${QUILLMARK_WINDOW_MANAGER})
  set_tests_properties(dialog_under_x_with_window_manager PROPERTIES TIMEOUT 120)
endif()

# quillmark body (measure, board, list) through the real executable.
quillmark_test(body_command_test SOURCES app/body_command_test.cpp LIBS qm_detect)
target_compile_definitions(body_command_test PRIVATE QUILLMARK_EXE="$<TARGET_FILE:quillmark>")
add_dependencies(body_command_test quillmark)
