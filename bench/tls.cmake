# What TLS costs the directory server: look-ups per second, latency and the
# server's CPU per exchange, plain and inside TLS, in one run.
add_executable(server_tls_load ${CMAKE_CURRENT_SOURCE_DIR}/server_tls_load.cpp
    ${PROJECT_SOURCE_DIR}/tests/support/test_certs.cpp)
target_include_directories(server_tls_load PRIVATE ${PROJECT_SOURCE_DIR}/tests
                                                   ${PROJECT_SOURCE_DIR})
target_link_libraries(server_tls_load PRIVATE OpenSSL::SSL OpenSSL::Crypto Threads::Threads)
target_compile_definitions(server_tls_load PRIVATE
    KESTRONA_SERVER_BINARY="$<TARGET_FILE:kestrona-server>")
add_dependencies(server_tls_load kestrona-server)
set_property(GLOBAL APPEND PROPERTY KESTRONA_BENCH_TARGETS server_tls_load)
