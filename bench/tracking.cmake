# The tracking worker's per-frame cost and its frame-to-client latency on
# loopback, with the shipped demo markers.
add_executable(worker_bench worker_bench.cpp)
target_link_libraries(worker_bench PRIVATE qm_app)
