# Load generator for the directory server: a plain program, not a Google
# Benchmark, since it measures a running server over loopback.
add_executable(server_load ${CMAKE_CURRENT_SOURCE_DIR}/server_load.cpp)
target_link_libraries(server_load PRIVATE kestrona_servernet)
target_compile_definitions(server_load PRIVATE
    KESTRONA_SERVER_BINARY="$<TARGET_FILE:kestrona-server>")
add_dependencies(server_load kestrona-server)
set_property(GLOBAL APPEND PROPERTY KESTRONA_BENCH_TARGETS server_load)
