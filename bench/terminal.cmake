# Terminal receive path (driver poll -> store -> display) at several history
# sizes, on the offscreen platform.
if(TARGET vortana_app)
  add_executable(TerminalReceiveBench TerminalReceiveBench.cpp)
  target_link_libraries(TerminalReceiveBench PRIVATE vortana_app util)
endif()
