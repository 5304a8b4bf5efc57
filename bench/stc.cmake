# STC89 download time against the simulated boot loader paced at the line rate.
if(TARGET vortana_stc AND TARGET vortana_stcsim)
  add_executable(StcDownloadBench StcDownloadBench.cpp)
  target_link_libraries(StcDownloadBench PRIVATE vortana_stc vortana_stcsim vortana_testsupport)
endif()
