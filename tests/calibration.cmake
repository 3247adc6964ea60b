# Calibration: the fit of the record's lens model, calibration files, and
# the calibrate and printing commands through the real executable.
quillmark_test(calibration_test
  SOURCES calibration/calibration_fit_test.cpp calibration/coordinates_test.cpp
  LIBS qm_detect)
quillmark_test(calibrate_command_test
  SOURCES calibration/calibrate_command_test.cpp calibration/marker_print_test.cpp
  LIBS qm_detect)
target_compile_definitions(calibrate_command_test PRIVATE QUILLMARK_EXE="$<TARGET_FILE:quillmark>")
add_dependencies(calibrate_command_test quillmark)
