# Media engine: CPU per call at 8000 and 24000 Hz and mouth-to-ear delay on the
# file devices, PulseAudio and PipeWire, the block coding work alone, the two
# echo cancellers, and a call through a TURN relay against a direct one.
kestrona_bench(media_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/media_bench.cpp
            ${PROJECT_SOURCE_DIR}/tests/support/pulse_fixture.cpp
            ${PROJECT_SOURCE_DIR}/tests/support/pipewire_fixture.cpp
            ${PROJECT_SOURCE_DIR}/tests/support/coturn_fixture.cpp
            ${PROJECT_SOURCE_DIR}/tests/support/proxy_fixtures.cpp
    LIBS kestrona_media
    kestrona_net
    OpenSSL::Crypto
    PkgConfig::SPEEXDSP)
target_include_directories(media_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
