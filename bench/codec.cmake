# Codec speed: nanoseconds per frame for encode and decode.
kestrona_bench(codec_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/codec_bench.cpp
               ${PROJECT_SOURCE_DIR}/tools/wav_io.cpp LIBS kestrona_codec)
