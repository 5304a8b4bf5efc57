# Frame view at the fastest line rate: the frame log alone, and the window.
if(TARGET vortana_app)
  add_executable(FramesBench FramesBench.cpp)
  target_link_libraries(FramesBench PRIVATE vortana_app)
endif()
