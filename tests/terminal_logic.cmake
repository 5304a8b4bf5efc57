vortana_add_test(terminal_logic_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/terminal_logic_test.cpp
  LIBS vortana_terminal)
