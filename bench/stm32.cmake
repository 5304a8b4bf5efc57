# STM32 download time against the simulated boot loader pacing at the line rate.
if(TARGET vortana_stm32)
  find_package(Threads REQUIRED)
  find_package(GTest REQUIRED)
  if(NOT TARGET vortana_stm32sim)
    add_library(vortana_stm32sim STATIC ${CMAKE_SOURCE_DIR}/tests/sim/Stm32Sim.cpp
                ${CMAKE_SOURCE_DIR}/tests/sim/SimLink.cpp)
    target_include_directories(vortana_stm32sim PUBLIC ${CMAKE_SOURCE_DIR}/tests)
    target_link_libraries(vortana_stm32sim PUBLIC Threads::Threads)
  endif()
  add_executable(Stm32DownloadBench ${CMAKE_CURRENT_SOURCE_DIR}/Stm32DownloadBench.cpp
                 ${CMAKE_SOURCE_DIR}/tests/support/Pty.cpp)
  target_include_directories(Stm32DownloadBench PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(Stm32DownloadBench PRIVATE vortana_stm32 vortana_stm32sim Qt6::Core GTest::gtest util)
endif()
if(TARGET Stm32DownloadBench AND TARGET vortana-isp)
  add_dependencies(Stm32DownloadBench vortana-isp)  # measured as a process of its own
endif()
