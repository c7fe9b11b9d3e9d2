# The speech decoder over frames as they arrive from a peer, good and lost.
kestrona_fuzz(codec_decoder SOURCES ${CMAKE_CURRENT_LIST_DIR}/codec_decoder.cpp LIBS kestrona_codec)
