kestrona_fuzz(app_call_controller SOURCES ${CMAKE_CURRENT_LIST_DIR}/app_call_controller.cpp LIBS kestrona_call)
