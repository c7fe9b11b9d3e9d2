# The sealed command channel's reassembly and opening of arriving bytes.
kestrona_fuzz(net_sealed_channel SOURCES ${CMAKE_CURRENT_LIST_DIR}/net_sealed_channel.cpp LIBS kestrona_net)
