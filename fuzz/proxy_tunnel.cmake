kestrona_fuzz(proxy_tunnel SOURCES ${CMAKE_CURRENT_LIST_DIR}/proxy_tunnel.cpp LIBS kestrona_platform)
