# A call's CPU cost on the real sound path (private PulseAudio daemons).
kestrona_bench(pulse_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/pulse_bench.cpp
            ${PROJECT_SOURCE_DIR}/tests/support/pulse_fixture.cpp
    LIBS kestrona_media)
target_include_directories(pulse_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
