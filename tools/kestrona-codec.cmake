# kestrona-codec: G.729 Annex A encode/decode of files.
add_executable(kestrona-codec ${CMAKE_CURRENT_LIST_DIR}/kestrona_codec.cpp
               ${CMAKE_CURRENT_LIST_DIR}/wav_io.cpp)
target_link_libraries(kestrona-codec PRIVATE kestrona_codec)
target_include_directories(kestrona-codec PRIVATE ${PROJECT_SOURCE_DIR})
