# The known-peers file as a damaged or hand-edited folder may hold it.
kestrona_fuzz(store_known_peers SOURCES ${CMAKE_CURRENT_LIST_DIR}/store_known_peers.cpp LIBS kestrona_store)
