# The live plot: lines parsed per second, and one repaint of the chart.
if(TARGET vortana_app)
  add_executable(PlotBench PlotBench.cpp)
  target_link_libraries(PlotBench PRIVATE vortana_app)
endif()
