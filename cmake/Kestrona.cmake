include(GNUInstallDirs)
# Installed read-only resources (ring sounds, help, translations in
# "translations/"). The phone finds them from its own folder, so the path from
# the program folder to this one is compiled in (see platform/app_paths).
set(KESTRONA_INSTALL_DATADIR ${CMAKE_INSTALL_DATADIR}/kestrona)
file(RELATIVE_PATH KESTRONA_RESOURCES_FROM_BINDIR ${CMAKE_INSTALL_FULL_BINDIR}
     ${CMAKE_INSTALL_FULL_DATADIR}/kestrona)

# AddressSanitizer code runs two to three times slower: its tests get
# proportionally longer time-outs.
if(KESTRONA_SANITIZE MATCHES "address")
    set(KESTRONA_TEST_TIMEOUT_FACTOR 3)
else()
    set(KESTRONA_TEST_TIMEOUT_FACTOR 1)
endif()

# kestrona_layer(NAME DEPS ...): one library per source folder, made of the
# folder's *.cpp files (an interface library while the folder has none yet).
function(kestrona_layer name)
    cmake_parse_arguments(L "" "" "DEPS" ${ARGN})
    file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp
         ${CMAKE_CURRENT_SOURCE_DIR}/*.h ${CMAKE_CURRENT_SOURCE_DIR}/*.qrc)
    set(cpp ${srcs})
    list(FILTER cpp INCLUDE REGEX "\\.cpp$")
    if(cpp)
        add_library(kestrona_${name} STATIC ${srcs})
        target_include_directories(kestrona_${name} PUBLIC ${PROJECT_SOURCE_DIR})
        target_link_libraries(kestrona_${name} PUBLIC ${L_DEPS})
    else()
        add_library(kestrona_${name} INTERFACE)
        target_include_directories(kestrona_${name} INTERFACE ${PROJECT_SOURCE_DIR})
        target_link_libraries(kestrona_${name} INTERFACE ${L_DEPS})
    endif()
endfunction()

# kestrona_test(NAME SOURCES ... LIBS ... [LABELS ...] [TSAN] [TIMEOUT s]): a
# GoogleTest executable registered with CTest. TSAN also builds and runs it in
# the ThreadSanitizer build (make test does that build in build-tsan); the
# AddressSanitizer build (build-asan) builds and runs every test. Label
# "realtime" marks tests whose calls run against the clock: only they are
# retried, and only in the plain build.
function(kestrona_test name)
    cmake_parse_arguments(T "TSAN;QT" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    # Outside the ThreadSanitizer set, the ThreadSanitizer build still defines
    # the target (other files may refer to it) but neither builds nor runs it.
    set(skip FALSE)
    if(KESTRONA_SANITIZE STREQUAL "thread" AND NOT T_TSAN)
        set(skip TRUE)
    endif()
    if(skip)
        add_executable(${name} EXCLUDE_FROM_ALL ${T_SOURCES})
    else()
        add_executable(${name} ${T_SOURCES})
    endif()
    target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
    target_compile_definitions(${name} PRIVATE
        KESTRONA_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
        KESTRONA_BINARY_DIR="${PROJECT_BINARY_DIR}")
    if(skip)
        return()
    endif()
    set(labels ${T_LABELS})
    if(T_TSAN)
        list(APPEND labels tsan)
    endif()
    # Every test has at least one label.
    if(NOT labels)
        set(labels unit)
    endif()
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    math(EXPR T_TIMEOUT "${T_TIMEOUT} * ${KESTRONA_TEST_TIMEOUT_FACTOR}")
    set(env "QT_QPA_PLATFORM=offscreen")
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
        PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${env}")
    # Discovery flattens a list given in PROPERTIES, so that every label but
    # the first would be lost (and the properties after it shifted). The
    # labels are set by a file of our own that CTest reads after the
    # discovered tests, from the list of names discovery leaves.
    # Tests on private sound servers (label "pulse") run one at a time: two
    # PipeWire stacks beside each other on a small machine miss their
    # deadlines and chop each other's sound, which no retry then mends when
    # every retry meets another of them.
    set(lock "")
    if("pulse" IN_LIST labels)
        set(lock " RESOURCE_LOCK sound_server")
    endif()
    set(label_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
    file(WRITE ${label_file} "if(DEFINED ${name}_TESTS)\n"
        "    set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${labels}\"${lock})\n"
        "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${label_file})
    set_property(GLOBAL APPEND PROPERTY KESTRONA_TEST_TARGETS ${name})
endfunction()
