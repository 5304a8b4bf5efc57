# A production run of many simulated boards at once.
if(TARGET vortana-isp AND TARGET vortana_stm32sim)
  add_executable(LineBench ${CMAKE_CURRENT_SOURCE_DIR}/LineBench.cpp ${CMAKE_SOURCE_DIR}/tests/support/Pty.cpp)
  target_include_directories(LineBench PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(LineBench PRIVATE vortana_stm32sim Qt6::Core GTest::gtest util)
  add_dependencies(LineBench vortana-isp)
endif()
