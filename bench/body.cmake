# A rigid body's pose per frame on rendered frames with truth: against its
# single members, with one member in view or displaced, the world frame of
# a fixed camera, and the cost of three bodies a frame.
add_executable(body_bench body_bench.cpp)
target_link_libraries(body_bench PRIVATE qm_detect ${OpenCV_LIBS})
target_include_directories(body_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
