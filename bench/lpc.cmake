# LPC2xxx download time against the simulated boot loader at line rate.
if(TARGET vortana_testsupport AND TARGET vortana_lpc)
  add_executable(LpcDownloadBench LpcDownloadBench.cpp ${CMAKE_SOURCE_DIR}/tests/sim/LpcSim.cpp)
  target_link_libraries(LpcDownloadBench PRIVATE vortana_lpc vortana_simlink vortana_testsupport vortana_testmain_qt)
endif()
