# Quillmark against OpenCV's ArUco module and AprilTag 3 on the same rendered
# frames (bench/README.md). Only with QUILLMARK_PEERS=ON: the product never
# links these libraries.
find_package(OpenCV REQUIRED COMPONENTS aruco)
find_package(apriltag REQUIRED)
add_executable(peers peers_bench.cpp)
target_link_libraries(peers PRIVATE qm_detect qm_capture opencv_aruco apriltag::apriltag apriltag::apriltag-utils)
# The same peers' reference on real photographs (bench/README.md).
add_executable(real_photos real_photos_bench.cpp)
target_link_libraries(real_photos PRIVATE qm_detect qm_capture opencv_aruco apriltag::apriltag apriltag::apriltag-utils)
# Phantom markers on pictures without markers (bench/README.md).
add_executable(negative negative_bench.cpp)
target_link_libraries(negative PRIVATE qm_detect qm_capture opencv_aruco apriltag::apriltag apriltag::apriltag-utils)
