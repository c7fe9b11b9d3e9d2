# The frame records of a call's audio stream, and the Opus decoder over the
# frames they carry.
kestrona_fuzz(media_frame_stream SOURCES ${CMAKE_CURRENT_LIST_DIR}/media_frame_stream.cpp
              LIBS kestrona_media)
