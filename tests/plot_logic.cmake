vortana_add_test(plot_logic_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/PlotLogicTest.cpp
  LIBS vortana_terminal)
if(TARGET vortana_app)
  vortana_add_test(PlotPanelTest SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/PlotPanelTest.cpp LIBS vortana_app QT)
endif()
