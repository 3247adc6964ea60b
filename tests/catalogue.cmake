# Catalogue, marker evaluation, the pattern writer and the still-image commands.
quillmark_test(catalogue_test
  SOURCES catalogue/catalogue_file_test.cpp catalogue/catalogue_loading_test.cpp
  LIBS qm_app)
quillmark_test(evaluate_test SOURCES catalogue/evaluate_test.cpp LIBS qm_detect)
quillmark_test(pattern_writer_test SOURCES catalogue/pattern_writer_test.cpp LIBS qm_capture)
quillmark_test(still_commands_test SOURCES catalogue/still_commands_test.cpp catalogue/still_images_test.cpp LIBS qm_detect)
target_compile_definitions(still_commands_test PRIVATE
  QUILLMARK_EXE="$<TARGET_FILE:quillmark>" SOURCE_ROOT="${PROJECT_SOURCE_DIR}")
add_dependencies(still_commands_test quillmark)
