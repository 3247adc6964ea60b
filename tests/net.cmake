quillmark_test(qm_net_tests
  SOURCES net/report_test.cpp net/protocol_test.cpp net/server_test.cpp net/json_test.cpp
  LIBS qm_net)

quillmark_test(qm_headless_tests
  SOURCES net/headless_test.cpp net/body_commands_test.cpp
  LIBS qm_net qm_detect qm_output_receivers)
add_dependencies(qm_headless_tests quillmark)
target_compile_definitions(qm_headless_tests PRIVATE QUILLMARK_BINARY="$<TARGET_FILE:quillmark>")

# The TCP server against a descriptor limit, silent Command-Mode clients and
# floods of commands, through the real executable.
find_program(QUILLMARK_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
add_test(NAME server_limits
  COMMAND ${QUILLMARK_SYSTEM_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/net/server_limits_test.py $<TARGET_FILE:quillmark>)
set_tests_properties(server_limits PROPERTIES TIMEOUT 180)
