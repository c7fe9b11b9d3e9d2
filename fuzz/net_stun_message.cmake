kestrona_fuzz(net_stun_message SOURCES ${CMAKE_CURRENT_LIST_DIR}/net_stun_message.cpp LIBS kestrona_net)
