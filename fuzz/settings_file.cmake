# The settings store over hand-edited and damaged settings files.
kestrona_fuzz(settings_file SOURCES ${CMAKE_CURRENT_LIST_DIR}/settings_file.cpp LIBS kestrona_platform)
