# The key exchange of an encrypted call: raw records to both roles, and
# honest exchanges with records altered on the way.
kestrona_fuzz(net_call_handshake SOURCES ${CMAKE_CURRENT_LIST_DIR}/net_call_handshake.cpp LIBS kestrona_net)
