# Hostile input: the inputs the fuzzers once broke on, replayed through their
# entry points, and damaged Data/ files through the real readers and the
# real quillmark executable.
include(${PROJECT_SOURCE_DIR}/fuzz/entries.cmake)
quillmark_test(hardening_test
  SOURCES hardening/fuzz_inputs_test.cpp hardening/data_files_test.cpp hardening/threads_test.cpp
  LIBS qm_fuzz_entries qm_app)
target_compile_definitions(hardening_test PRIVATE
  QUILLMARK_EXE="$<TARGET_FILE:quillmark>"
  FUZZ_INPUTS_DIR="${CMAKE_CURRENT_SOURCE_DIR}/hardening/fuzz_inputs")
add_dependencies(hardening_test quillmark)
