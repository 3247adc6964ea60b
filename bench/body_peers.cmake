# A body's pose per frame against OpenCV ArUco's board pose on the same
# rendered layouts (bench/README.md). Only with QUILLMARK_PEERS=ON.
find_package(OpenCV REQUIRED COMPONENTS aruco)
add_executable(body_peers body_peers_bench.cpp)
target_link_libraries(body_peers PRIVATE qm_detect opencv_aruco)
target_include_directories(body_peers PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
