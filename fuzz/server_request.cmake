# The directory server's request parser and request handling.
kestrona_fuzz(server_request
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/server_request_fuzz.cpp
    LIBS kestrona_serverlib)
