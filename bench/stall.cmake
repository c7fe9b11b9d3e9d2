# Event-loop stalls during call set-up and a whole call.
kestrona_bench(stall_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/stall_bench.cpp
    LIBS kestrona_media Qt6::Core)
