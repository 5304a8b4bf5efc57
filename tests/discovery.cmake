vortana_add_test(discovery_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/discovery_test.cpp
  LIBS vortana_platform)
