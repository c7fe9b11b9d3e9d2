# The phone's and the codec tool's WAV readers over files from users.
kestrona_fuzz(wav_reader
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/wav_reader.cpp ${PROJECT_SOURCE_DIR}/tools/wav_io.cpp
    LIBS kestrona_platform)
