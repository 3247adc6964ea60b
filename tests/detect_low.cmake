# The detector's lower stages: camera parameters, matrices, principal
# components, labeling and the pattern file.
quillmark_test(detect_low_test
  SOURCES
    detect/low_matrix_test.cpp
    detect/low_camera_param_test.cpp
    detect/low_pca_test.cpp
    detect/low_labeling_test.cpp
    detect/low_fast_paths_test.cpp
    detect/pattern_file_test.cpp
  LIBS qm_detect)
