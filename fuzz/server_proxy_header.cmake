# The balancer's PROXY header in front of a connection.
kestrona_fuzz(server_proxy_header
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/server_proxy_header_fuzz.cpp
    LIBS kestrona_serverlib)
