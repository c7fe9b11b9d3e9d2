# Media engine: CPU per call at 8000 and 24000 Hz and mouth-to-ear delay on the
# file devices, PulseAudio and PipeWire, the block coding work alone, and the
# two echo cancellers.
kestrona_bench(media_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/media_bench.cpp
            ${PROJECT_SOURCE_DIR}/tests/support/pulse_fixture.cpp
            ${PROJECT_SOURCE_DIR}/tests/support/pipewire_fixture.cpp
    LIBS kestrona_media
    PkgConfig::SPEEXDSP)
target_include_directories(media_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
