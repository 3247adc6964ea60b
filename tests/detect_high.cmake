# The detector's upper stages on frames drawn by the project's own renderer:
# pattern table and matching, square extraction and history, pose.
quillmark_test(detect_high_test
  SOURCES
    detect/high_pattern_test.cpp
    detect/high_squares_test.cpp
    detect/high_pose_test.cpp
    detect/high_refine_test.cpp
  LIBS qm_detect)
# The opt-ins for real scenes against the specified detector on the same frames.
quillmark_test(real_light_test SOURCES detect/real_light_test.cpp LIBS qm_capture)
# No marker reported where there is none; registration of patterns that cannot be told apart.
quillmark_test(phantom_test SOURCES detect/phantom_test.cpp LIBS qm_capture)
# Rigid bodies: the bodies file, the per-frame fit on rendered bodies.
quillmark_test(body_test SOURCES detect/body_list_test.cpp detect/body_pose_test.cpp LIBS qm_detect)
