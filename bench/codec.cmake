# Codec speed: time per frame for encode and decode, and the comparison with
# the G.729 library that Debian ships (libbcg729-dev, for this benchmark only:
# nothing of it goes into the codec). Without it the comparison is skipped.
kestrona_bench(codec_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/codec_bench.cpp
               ${PROJECT_SOURCE_DIR}/tools/wav_io.cpp LIBS kestrona_codec)
pkg_check_modules(BCG729 QUIET IMPORTED_TARGET libbcg729)
if(BCG729_FOUND)
    # The same file jobs as kestrona-codec, done with the library; kept out of
    # the bench folder, whose programs are all run as benchmarks.
    add_executable(codec_reference ${CMAKE_CURRENT_LIST_DIR}/codec_reference.c)
    target_link_libraries(codec_reference PRIVATE PkgConfig::BCG729)
    set_target_properties(codec_reference PROPERTIES RUNTIME_OUTPUT_DIRECTORY
                          ${CMAKE_CURRENT_BINARY_DIR}/reference)
    target_link_libraries(codec_bench PRIVATE PkgConfig::BCG729)
    target_compile_definitions(codec_bench PRIVATE KESTRONA_HAVE_BCG729
        KESTRONA_CODEC_TOOL="$<TARGET_FILE:kestrona-codec>"
        KESTRONA_REFERENCE_TOOL="$<TARGET_FILE:codec_reference>")
    add_dependencies(codec_bench kestrona-codec codec_reference)
else()
    message(STATUS "libbcg729 not found: the codec benchmark skips the comparison")
endif()
