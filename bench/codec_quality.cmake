# The call codecs on wideband speech: log-spectral distance and segmental SNR
# of Opus at 16 kHz and of G.729 (through 8 kHz), and the CPU share of an
# Opus call.
kestrona_bench(codec_quality_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/codec_quality_bench.cpp
               ${PROJECT_SOURCE_DIR}/tools/wav_io.cpp LIBS kestrona_media)
