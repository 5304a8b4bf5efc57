# LPC download time against the simulated boot loader at line rate.
if(TARGET vortana_testsupport AND TARGET vortana_lpc)
  add_executable(LpcDownloadBench LpcDownloadBench.cpp ${CMAKE_SOURCE_DIR}/tests/sim/LpcSim.cpp)
  target_link_libraries(LpcDownloadBench PRIVATE vortana_lpc vortana_simlink vortana_testsupport)
  if(TARGET vortana-isp)
    add_dependencies(LpcDownloadBench vortana-isp)  # measured as a process of its own
  endif()
endif()
