# Calibration: the fit of the record's lens model, calibration files, and
# the calibrate and printing commands through the real executable.
quillmark_test(calibration_test
  SOURCES calibration/calibration_fit_test.cpp
  LIBS qm_detect)
