# Serving cost on loopback: 200 Automatic-Mode clients and Command-Mode
# round trips, with a 60 Hz table driver; replies are checked after timing.
add_executable(net_serve_bench net_serve_bench.cpp)
target_link_libraries(net_serve_bench PRIVATE qm_net)

# A client that pauses and resumes: stale reports it gets and how soon the
# latest frame reaches it.
add_executable(net_resume_bench net_resume_bench.cpp)
target_link_libraries(net_resume_bench PRIVATE qm_net)

# A Command-Mode client flooding 2 kB blocks of "all": bytes written, the
# server's processor time and a polite client's round trip meanwhile.
add_executable(net_flood_bench net_flood_bench.cpp)
target_link_libraries(net_flood_bench PRIVATE qm_net)
