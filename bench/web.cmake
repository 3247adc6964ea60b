# The operator page against the real headless server: tracking and TCP rates
# with 10 pages and 10 feed clients, the picture's cost, grab-to-WebSocket
# latency and a viewer that stops reading.
add_executable(web_bench web_bench.cpp)
target_link_libraries(web_bench PRIVATE Boost::headers Threads::Threads)
add_dependencies(web_bench quillmark)
target_compile_definitions(web_bench PRIVATE QUILLMARK_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                                             QUILLMARK_BINARY="$<TARGET_FILE:quillmark>")
