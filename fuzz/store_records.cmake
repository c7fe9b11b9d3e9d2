# The phone book's and the call history's files as a user's folder holds them.
kestrona_fuzz(store_records SOURCES ${CMAKE_CURRENT_LIST_DIR}/store_records.cpp LIBS kestrona_store)
