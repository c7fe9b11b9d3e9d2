# Load generator for the directory server: a plain program, not a Google
# Benchmark, since it measures a running server over loopback.
# It starts PostgreSQL and HAProxy with the tests' own fixtures.
add_executable(server_load ${CMAKE_CURRENT_SOURCE_DIR}/server_load.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/proxy_fixtures.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/postgres_fixture.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/haproxy_fixture.cpp)
target_include_directories(server_load PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(server_load PRIVATE kestrona_servernet)
target_compile_definitions(server_load PRIVATE
    KESTRONA_SERVER_BINARY="$<TARGET_FILE:kestrona-server>")
add_dependencies(server_load kestrona-server)
set_property(GLOBAL APPEND PROPERTY KESTRONA_BENCH_TARGETS server_load)

# Keep-alives per second of one instance on PostgreSQL (a cluster of its own)
# and on SQLite.
add_executable(server_keepalive ${CMAKE_CURRENT_SOURCE_DIR}/server_keepalive.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/postgres_fixture.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/proxy_fixtures.cpp)
target_include_directories(server_keepalive PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_link_libraries(server_keepalive PRIVATE kestrona_serverlib)
target_compile_definitions(server_keepalive PRIVATE
    KESTRONA_SERVER_BINARY="$<TARGET_FILE:kestrona-server>")
add_dependencies(server_keepalive kestrona-server)
set_property(GLOBAL APPEND PROPERTY KESTRONA_BENCH_TARGETS server_keepalive)

# A presence look-up of 64 numbers against one QUERYUSER, whole exchanges on
# loopback, one instance on SQLite and one on PostgreSQL (Google Benchmark).
kestrona_bench(server_presence_bench
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/server_presence_bench.cpp
        ${PROJECT_SOURCE_DIR}/tests/support/postgres_fixture.cpp
        ${PROJECT_SOURCE_DIR}/tests/support/proxy_fixtures.cpp
    LIBS kestrona_serverlib)
target_include_directories(server_presence_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
target_compile_definitions(server_presence_bench PRIVATE
    KESTRONA_SERVER_BINARY="$<TARGET_FILE:kestrona-server>")
add_dependencies(server_presence_bench kestrona-server)
