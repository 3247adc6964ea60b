# Labeling throughput on cluttered synthetic frames, checked against OpenCV's
# connected components after the timed loop.
add_executable(labeling_bench labeling_bench.cpp)
target_link_libraries(labeling_bench PRIVATE qm_detect ${OpenCV_LIBS})
