# Measuring rigid bodies on rendered views with truth: the members' poses
# from 25 views of a board and a cube, and the per-frame body pose.
add_executable(body_measure_bench body_measure_bench.cpp)
target_link_libraries(body_measure_bench PRIVATE qm_detect ${OpenCV_LIBS})
target_include_directories(body_measure_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
