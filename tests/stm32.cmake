find_package(Threads REQUIRED)
if(TARGET vortana_stm32)
  add_library(vortana_stm32sim STATIC sim/Stm32Sim.cpp)
  target_include_directories(vortana_stm32sim PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(vortana_stm32sim PUBLIC vortana_simlink Threads::Threads)
  vortana_add_test(Stm32EngineTest SOURCES Stm32EngineTest.cpp
                   LIBS vortana_stm32 vortana_stm32sim QT TIMEOUT 180)
endif()
if(TARGET vortana_stm32)
  vortana_add_test(Stm32PartsTest SOURCES Stm32PartsTest.cpp LIBS vortana_stm32)
endif()
if(TARGET vortana_stm32 AND TARGET vortana_stm32sim)
  vortana_add_test(Stm32LinesTest SOURCES Stm32LinesTest.cpp
                   LIBS vortana_stm32 vortana_stm32sim QT TIMEOUT 300)
endif()
if(TARGET vortana_stm32 AND TARGET vortana_stm32sim)
  vortana_add_test(Stm32JobsTest SOURCES Stm32JobsTest.cpp
                   LIBS vortana_stm32 vortana_stm32sim QT TIMEOUT 180)
endif()
