# The camera layer (file and Aravis backends on real sources) and the preview overlay.
quillmark_test(camera_test
  SOURCES tracking/camera_file_test.cpp tracking/camera_aravis_test.cpp
  LIBS qm_tracking)
quillmark_test(overlay_test SOURCES tracking/overlay_test.cpp LIBS qm_tracking)
# The table of the eight report fields.
quillmark_test(report_fields_test SOURCES tracking/report_fields_test.cpp LIBS qm_tracking)
