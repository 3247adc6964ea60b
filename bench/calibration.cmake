# Calibration on rendered chessboard views: corner finding and the fit of
# the lens model, checked against the true camera after the timed runs.
add_executable(calibration_bench calibration_bench.cpp)
target_link_libraries(calibration_bench PRIVATE qm_detect ${OpenCV_LIBS})
target_include_directories(calibration_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
