kestrona_fuzz(net_server_reply SOURCES ${CMAKE_CURRENT_LIST_DIR}/net_server_reply.cpp LIBS kestrona_net)
