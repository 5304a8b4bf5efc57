vortana_add_test(plot_logic_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/PlotLogicTest.cpp
  LIBS vortana_terminal)
