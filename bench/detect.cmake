# Per-frame cost of detection plus a pose per marker on rendered frames,
# checked against the renderer's truth after the timed loop.
add_executable(detect_bench detect_bench.cpp)
target_link_libraries(detect_bench PRIVATE qm_detect ${OpenCV_LIBS})
