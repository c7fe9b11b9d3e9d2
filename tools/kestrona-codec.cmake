# kestrona-codec: G.729 Annex A encode/decode of files.
add_executable(kestrona-codec ${CMAKE_CURRENT_LIST_DIR}/kestrona_codec.cpp
               ${CMAKE_CURRENT_LIST_DIR}/wav_io.cpp)
target_link_libraries(kestrona-codec PRIVATE kestrona_codec)
target_include_directories(kestrona-codec PRIVATE ${PROJECT_SOURCE_DIR})
# The C++ runtime is linked in: loading libstdc++ would cost this short-lived
# program more time than coding a few seconds of speech. The codec brings its
# own few maths functions, so the maths library that the compiler driver adds
# is dropped as unused: the C library is the only shared object left to load.
# Sanitizer and fuzz builds keep the shared runtime that their own libraries
# expect.
if(NOT KESTRONA_SANITIZE AND NOT KESTRONA_FUZZ)
    target_link_options(kestrona-codec PRIVATE -static-libstdc++ -static-libgcc
                        LINKER:--as-needed)
endif()
