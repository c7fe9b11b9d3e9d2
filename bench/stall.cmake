# Event-loop stalls during call set-up, a whole call, and a sound server that
# stops answering while the phone rings.
kestrona_bench(stall_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/stall_bench.cpp
    ${PROJECT_SOURCE_DIR}/ui/pages.cpp ${PROJECT_SOURCE_DIR}/tests/support/pulse_fixture.cpp
    LIBS kestrona_app kestrona_media Qt6::Widgets)
set_target_properties(stall_bench PROPERTIES AUTOMOC ON)
target_include_directories(stall_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
