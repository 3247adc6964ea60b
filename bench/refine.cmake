# Corner and pose accuracy, jitter and cost of the sub-pixel refinement on
# rendered frames, checked against the goals after the measurements.
add_executable(refine_bench refine_bench.cpp)
target_link_libraries(refine_bench PRIVATE qm_detect ${OpenCV_LIBS})
