kestrona_fuzz(net_peer_classifier SOURCES ${CMAKE_CURRENT_LIST_DIR}/net_peer_classifier.cpp LIBS kestrona_net)
