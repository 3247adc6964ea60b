# The fusion core on rendered frames with truth: fused body error against the
# better camera's, and the cost per fused frame for 2 and 8 nodes.
add_executable(fusion_bench fusion_bench.cpp)
target_link_libraries(fusion_bench PRIVATE qm_tracking qm_net ${OpenCV_LIBS} qm_test_support)
target_include_directories(fusion_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
