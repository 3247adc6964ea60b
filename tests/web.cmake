# The operator page and its feeds, from the real headless binary: programs
# through a WebSocket client and raw requests, people through a real
# browser (Debian's chromium, installed for the test run).
find_program(QUILLMARK_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
add_test(NAME web_feed
  COMMAND ${QUILLMARK_SYSTEM_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/web/web_feed_test.py
          $<TARGET_FILE:quillmark> ${PROJECT_SOURCE_DIR}/Data)
set_tests_properties(web_feed PROPERTIES TIMEOUT 120)
find_program(QUILLMARK_CHROMIUM chromium)
if(QUILLMARK_CHROMIUM)
  add_test(NAME web_page_in_browser
    COMMAND ${QUILLMARK_SYSTEM_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/web/web_page_test.py
            $<TARGET_FILE:quillmark> ${PROJECT_SOURCE_DIR}/Data)
  set_tests_properties(web_page_in_browser PROPERTIES TIMEOUT 120)
endif()
# Another site's Origin and a foreign Host (DNS rebinding) are refused,
# the page's own names and --http-allow's are served.
add_test(NAME web_guard
  COMMAND ${QUILLMARK_SYSTEM_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/web/web_guard_test.py
          $<TARGET_FILE:quillmark> ${PROJECT_SOURCE_DIR}/Data)
set_tests_properties(web_guard PROPERTIES TIMEOUT 120)
