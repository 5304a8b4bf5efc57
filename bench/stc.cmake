# STC89 download time against the simulated boot loader paced at the line rate.
if(TARGET vortana_stc AND TARGET vortana_stcsim)
  add_executable(StcDownloadBench StcDownloadBench.cpp)
  target_link_libraries(StcDownloadBench PRIVATE vortana_stc vortana_stcsim vortana_testsupport)
endif()

# STC15/STC8/STC12 sessions (trim rounds included) over the paced wire.
if(TARGET vortana_stc AND TARGET vortana_stcsim)
  add_executable(StcFamiliesBench StcFamiliesBench.cpp)
  target_link_libraries(StcFamiliesBench PRIVATE vortana_stc vortana_stcsim vortana_testsupport)
endif()
