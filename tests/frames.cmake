vortana_add_test(frames_logic_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/frames_logic_test.cpp
  LIBS vortana_terminal)
if(TARGET vortana_app)
  vortana_add_test(FramesWindowTest SOURCES FramesWindowTest.cpp LIBS vortana_app QT)
endif()
